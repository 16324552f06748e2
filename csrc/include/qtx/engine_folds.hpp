// The engine on sums and products over an index: one loop for polynomials and for constants.
#pragma once
#include "engine.hpp"

namespace qtx::engine {

/// Runs `step` for every value of the fold's index whose condition holds, with the value bound
/// under the index's name: a native range for the package's own elements, the element's
/// `get_index_values` otherwise. The kind is checked once the range is known.
template <class Step>
inline void Engine::each_index(Node* n, Step&& step, size_t* count) {
    const Types& tree = types();
    Node* index = n->var;
    Node* cond = n->kids[0];
    bool native_range = index->type == NodeType::Element;
    long long lo = 0, hi = 0;
    Obj values;
    if (native_range) {
        range_of(index, lo, hi);
        if (count) *count = hi > lo ? (size_t)(hi - lo) : 0;
    } else {
        values = callout(index->obj, names().get_index_values);
    }
    if (!n->kind.is(tree.sum) && !n->kind.is(tree.prod)) raise_substitute("Unknown ReductionOpeKind");
    Obj name = native_range ? index->name : interned_name(qtx::getattr(index->obj, names().name));
    Bindings::FlushOnUnwind guard{bindings_};
    FoldScope scope{*this};
    if (native_range) {
        Runs runs;
        if (hi > lo) runs.from[0] = lo, runs.to[0] = hi, runs.n = 1;
        // A condition that compares the index with what the loop does not move (i < 3, i != t)
        // lets runs of the range through: only those are visited (a sum over a range of 10**12
        // values under i < 3 visited them all). The first value goes the general way, which
        // reads what the comparison needs; every value visited is tested all the same.
        bool narrowed = false;
        if (hi - lo > 64 && cond->type != NodeType::CTrue && kernel_condition(cond, name)) {
            poll_.tick();
            bind(name, lo);
            if (test(cond)) step();
            runs.from[0] = lo + 1;
            narrowed = narrow_runs(cond, name, runs);
            if (!narrowed) runs.from[0] = lo + 1, runs.to[0] = hi, runs.n = 1;
        }
        long long bound = lo;  // the value bound last
        for (size_t r = 0; r < runs.n; ++r) {
            for (long long v = runs.from[r]; v < runs.to[r]; ++v) {
                poll_.tick();
                bind(name, v);
                bound = v;
                if (test(cond)) step();
            }
        }
        if (narrowed && bound != hi - 1) bind(name, hi - 1);  // where a full loop leaves it
        fold_done();
    } else {
        for_each(values, [&](nb::handle v) {
            poll_.tick();
            bindings_.bind_object(name, v);
            if (test(cond)) step();
        });
        fold_done();  // the inner folds' bindings
    }
}

inline Poly Engine::fold(Node* n) {
    bool sum = n->kind.is(types().sum);
    Node* operand = n->kids[1];
    Poly acc = constant(Num::of_int(sum ? 0 : 1));
    // the native route's outermost sum keeps its parts apart, to be merged later in one pass
    bool parts = sum && n == parts_root_;
    parts_root_ = nullptr;
    if (!parts) {
        size_t count = 0;  // index values: room for as many terms (up to a bound) once the first comes
        bool reserved = false;
        if (sum && monomial_operand(operand) && n->var->type == NodeType::Element &&
            (n->kids[0]->type == NodeType::CTrue || kernel_condition(n->kids[0], n->var->name)))
            return kernel_fold(n);
        each_index(
            n,
            [&] {
                if (!sum) return poly_mul(acc, eval(operand), &poll_);
                add_operand(acc, operand);
                if (!reserved && !acc.terms.empty()) {
                    reserved = true;
                    acc.terms.reserve(std::min<size_t>(count, 4096));
                }
            },
            &count);
        return acc;
    }
    // A sum directly inside it is split too: its parts form one group per outer value, and the
    // reader adds each group's parts first, then the groups, as the nested sums would. A sum of
    // monomials runs through its kernel instead, each outer value's terms one part: its terms
    // are added up in the same order, without a part (and a general evaluation) per term.
    bool inner = !operand->pure && operand->type == NodeType::Fold && operand->kind.is(types().sum);
    bool split =
        inner &&
        !(monomial_operand(operand->kids[1]) && operand->var->type == NodeType::Element &&
          (operand->kids[0]->type == NodeType::CTrue || kernel_condition(operand->kids[0], operand->var->name)));
    uint32_t group = 0;
    each_index(n, [&] {
        Poly p = split ? fold_parts(operand, group) : eval_operand(operand);
        if (!split) push_part(std::move(p.terms), group);
        ++group;
        // poly_add with the terms kept apart
        acc.constant = num_add(acc.constant, p.constant);
        if (num_compare(p.order, acc.order, Py_GT)) acc.order = p.order;
    });
    return acc;
}

/// fold() of a sum of monomials over a native range without a condition, or with a condition
/// the kernel runs under (kernel_condition): each_index's loop through the sum's kernel over the
/// runs of values the condition lets through, except that the index is bound only where
/// something reads it (the general way, or a factor that needs it); the last value is bound
/// at the end all the same. The first value goes the general way when the kernel cannot be
/// prepared without it; when the runs cannot be told, every value is tested and goes the
/// general way.
inline Poly Engine::kernel_fold(Node* n) {
    RangeKernel& k = kernel_of(n);
    Node* cond = n->kids[0];
    Node* operand = n->kids[1];
    Poly acc = constant(Num::of_int(0));
    long long lo = 0, hi = 0;
    range_of(n->var, lo, hi);
    size_t count = hi > lo ? (size_t)(hi - lo) : 0;
    nb::handle name = n->var->name;
    Bindings::FlushOnUnwind guard{bindings_};
    FoldScope scope{*this};
    Runs runs;
    if (count) runs.from[0] = lo, runs.to[0] = hi, runs.n = 1;
    bool tested = cond->type != NodeType::CTrue && !narrow_runs(cond, name, runs);
    if (tested && count) runs.from[0] = lo, runs.to[0] = hi, runs.n = 1;
    bool ready = count && !tested && k.state == RangeKernel::Ready && kernel_prepare(k, nullptr, count);
    bool reserved = false;
    auto reserve = [&]() __attribute__((always_inline)) {
        reserved = true;
        // keys known apart need no table
        size_t room = std::min<size_t>(count, 4096);
        if (ready && k.distinct)
            acc.terms.reserve_entries(room);
        else
            acc.terms.reserve(room);
    };
    // a bindless kernel runs the whole range before the loop below looks at acc again
    if (ready && (k.same_value ? k.mono.term : k.bindless)) reserve();
    long long bound = hi;  // the value bound last (hi: none since the loop began)
    for (size_t r = 0; r < runs.n; ++r) {
        long long to = runs.to[r];
        for (long long v = runs.from[r]; v < to; ++v) {
            if (ready && k.bindless) {
                long long next = range_run(k, acc, v, to);
                if (next > v) {
                    v = next - 1;
                    continue;
                }
            }
            poll_.tick();
            bind(name, v);
            bound = v;
            if (tested && !test(cond)) continue;
            if (ready && !k.bindless && kernel_step(k, acc, v, false)) {
                if (num_compare(k.order, acc.order, Py_GT)) acc.order = k.order;
            } else {
                // the general way: registers what the kernel did not find, raises what it cannot read
                Mono& m = mono_;
                if (!monomial(operand, m)) {
                    poly_add(acc, eval(operand));
                } else {
                    if (!tested && !ready && k.state == RangeKernel::Untried) kernel_setup(k, n);
                    if (!tested && !ready && k.state == RangeKernel::Ready) ready = kernel_prepare(k, &m, count);
                    add_mono(acc, m);
                }
            }
            if (!reserved && !acc.terms.empty()) reserve();
        }
    }
    if (count && bound != hi - 1) bind(name, hi - 1);
    fold_done();
    return acc;
}

/// An objective written as several terms (t0 + t1 + ..., one per `problem +=`) in parts: the
/// first term's as a sum at the root makes them, then each later term whole, one part in a
/// group of its own. The reader adds each group's parts, then the groups, in order, so every
/// key's value is ((t0 + t1) + t2) ... with t0 summed as its sums nest: as multi() adds them.
inline Poly Engine::add_parts(Node* n) {
    auto next_group = [&] { return parts_->empty() ? 0u : parts_->group(parts_->size() - 1) + 1; };
    parts_root_ = n->kids[0];
    Poly acc = eval(n->kids[0]);
    parts_root_ = nullptr;
    if (!acc.terms.empty()) push_part(std::move(acc.terms), next_group());  // t0 is no sum: one part
    acc.terms = Terms();
    for (size_t i = 1; i < n->kids.size(); ++i) {
        Poly p = eval(n->kids[i]);
        combine(n, i, [&] {
            if (!p.terms.empty()) push_part(std::move(p.terms), next_group());
            acc.constant = num_add(acc.constant, p.constant);
            if (num_compare(p.order, acc.order, Py_GT)) acc.order = p.order;
        });
    }
    return acc;
}

inline Poly Engine::fold_parts(Node* n, uint32_t group) {
    if (stack_exhausted(floor_)) stack_overflow("while substituting an expression tree");
    Node* operand = n->kids[1];
    Poly acc = constant(Num::of_int(0));
    each_index(n, [&] {
        Poly p = eval_operand(operand);
        push_part(std::move(p.terms), group);
        acc.constant = num_add(acc.constant, p.constant);
        if (num_compare(p.order, acc.order, Py_GT)) acc.order = p.order;
    });
    return acc;
}

inline Num Engine::fold_value(Node* n) {
    bool sum = n->kind.is(types().sum);
    Node* operand = n->kids[1];
    Num acc = Num::of_int(sum ? 0 : 1);
    each_index(n, [&] { acc = sum ? num_add(acc, value(operand)) : mul_constants(acc, value(operand)); });
    return acc;
}

}  // namespace qtx::engine
