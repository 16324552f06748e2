// The solution of a quillon Record, written sample by sample. Per label it holds one sparse entry
// per sample, (one list of subscripts per axis, the values, the shape): the sample's own entries
// in the order they were added, then the label's fixed values, which never reach a solver but
// hold in every sample. decode's dict_to_record and the dimod bridge's decoder both write it.
#pragma once
#include "plumbing.hpp"

#include <utility>
#include <vector>

namespace qtx {

class SparseRecord {
public:
    /// Adds a label (labels keep this order in the solution) and returns its slot.
    size_t add_label(nb::handle label) {
        labels_.emplace_back();
        labels_.back().label = nb::borrow(label);
        return labels_.size() - 1;
    }
    /// Label `slot`'s number of axes and shape; set before the first sample.
    void set_shape(size_t slot, Py_ssize_t ndim, nb::handle shape) {
        labels_[slot].ndim = ndim;
        labels_[slot].shape = nb::borrow(shape);
    }
    /// A value listed in every sample after the sample's own entries of label `slot`;
    /// `subscripts` is a tuple with one subscript per axis.
    void add_fixed(size_t slot, nb::handle subscripts, nb::handle value) {
        labels_[slot].fixed.emplace_back(nb::borrow(subscripts), nb::borrow(value));
    }

    // The per-sample calls run once per sample and entry of a large sample set, so they keep
    // to the raw API: no wrapper, no check beyond the allocation's.

    /// Opens the next sample: an empty entry for every label.
    void begin_sample() {
        axes_.clear();
        for (Label& l : labels_) {
            nb::object axes = nb::steal(PyTuple_New(l.ndim));
            if (!axes) fail();
            l.first_axis = axes_.size();
            for (Py_ssize_t d = 0; d < l.ndim; ++d) {
                PyObject* list = PyList_New(0);
                if (!list) fail();
                PyTuple_SET_ITEM(axes.ptr(), d, list);
                axes_.push_back(list);
            }
            nb::object values = nb::steal(PyList_New(0));
            if (!values) fail();
            l.values = values.ptr();  // held by the entry
            l.open = nb::steal(PyTuple_Pack(3, axes.ptr(), values.ptr(), l.shape.ptr()));
            if (!l.open) fail();
        }
    }

    /// An entry of the open sample: `subscripts` is a tuple with one subscript per axis of
    /// label `slot`.
    void add(size_t slot, PyObject* subscripts, PyObject* value) {
        Label& l = labels_[slot];
        for (Py_ssize_t d = 0; d < l.ndim; ++d)
            append(axes_[l.first_axis + (size_t)d], PyTuple_GET_ITEM(subscripts, d));
        append(l.values, value);
    }

    /// Closes the open sample: every label's fixed values follow its entries, and the entry
    /// joins the label's list.
    void end_sample() {
        for (size_t slot = 0; slot < labels_.size(); ++slot) {
            Label& l = labels_[slot];
            for (const auto& f : l.fixed) add(slot, f.first.ptr(), f.second.ptr());
            append(l.entries.ptr(), l.open.ptr());
            l.open.reset();
        }
        ++samples_;
    }

    Py_ssize_t samples() const { return samples_; }

    /// {label: [one entry per sample]}, labels in the order they were added.
    nb::dict solution() const {
        nb::dict solution;
        for (const Label& l : labels_) solution[l.label] = l.entries;
        return solution;
    }

    /// `quillon.Record(solution=..., num_occurrences=...)`.
    nb::object record(nb::handle num_occurrences) const {
        using namespace nb::literals;
        return QTX_IMPORT("quillon", "Record")("solution"_a = solution(), "num_occurrences"_a = num_occurrences);
    }

private:
    static void append(PyObject* list, PyObject* v) {
        if (PyList_Append(list, v) < 0) fail();
    }

    struct Label {
        nb::object label, shape;
        Py_ssize_t ndim = 0;
        std::vector<std::pair<nb::object, nb::object>> fixed;
        nb::list entries;
        // the open sample's entry, its value list and its first axis list in axes_
        nb::object open;
        PyObject* values = nullptr;
        size_t first_axis = 0;
    };
    std::vector<Label> labels_;
    std::vector<PyObject*> axes_;  // the open sample's axis lists, label after label
    Py_ssize_t samples_ = 0;
};

}  // namespace qtx
