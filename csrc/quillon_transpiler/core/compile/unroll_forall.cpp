// Placeholder until the module is written.
#include "qtx/module.hpp"

using namespace qtx;

namespace {
PyMethodDef functions[] = {QTX_END};
const char* source = "";
}  // namespace

NB_MODULE(unroll_forall, m) { QTX_MODULE_INIT(m, functions, source) }
