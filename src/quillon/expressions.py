"""Expression nodes.

The lowering dispatches on the exact class of a node, so every node is its own
class and no public node class derives from another one (only private bases
are shared).
"""

from __future__ import annotations

import functools
import numbers
from typing import Any, Callable, Dict, Iterable, List, NoReturn, Optional, Tuple, Type, TypeVar, Union

# conditions.py imports this module back; both only touch each other's
# attributes at call time, so either may be imported first.
from . import conditions as _cond

T = TypeVar("T")


def _describe(value: Any) -> str:
    text = repr(value)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{type(value).__name__} {text}"


def _as_number(value: Any) -> Union[int, float, None]:
    """Return `value` as a plain int or float, or None if it is not a number."""
    # bool is an int subclass but never a meaningful coefficient here;
    # numpy.bool_ is not a numbers.Number, so it falls through as well.
    kind = type(value)
    if kind is int or kind is float:  # the common case, without the abstract classes' checks
        return value
    if isinstance(value, bool):
        return None
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    return None


def _literal(number: Union[int, float]) -> NumberLit:
    """NumberLit(number) of a plain int or float: a model written out term by term makes one per
    subscript and coefficient, so the checks NumberLit's constructor repeats are skipped."""
    node = NumberLit.__new__(NumberLit)
    node.value = number
    return node


def as_expr(value: Any, what: str = "operand") -> Expression:
    """Return `value` as an expression node, wrapping numbers as NumberLit."""
    if isinstance(value, Expression):
        return value
    kind = type(value)
    if kind is int or kind is float:
        return _literal(value)
    number = _as_number(value)
    if number is None:
        raise TypeError(f"{what} must be an expression or an int/float number, got {_describe(value)}")
    return NumberLit(number)


def as_scalar(value: Any, what: str = "operand") -> Expression:
    """Like as_expr, but refuses arrays (usually a forgotten subscript)."""
    kind = type(value)
    if kind is int or kind is float:
        return _literal(value)
    expr = as_expr(value, what)
    if expr.ndim != 0:
        raise ValueError(f"{what} must be a scalar, but {expr} has ndim {expr.ndim}; subscript it first")
    return expr


def _check_name(name: Any, what: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, got {_describe(name)}")
    if not name:
        raise ValueError(f"{what} must not be empty")
    return name


class Expression:
    """Base of all expression nodes; the operators build new nodes."""

    ndim = 0
    # == builds a condition, so nodes cannot hash by value: they hash by
    # identity, which keeps them usable as dict keys and set members.
    __hash__ = object.__hash__
    # Makes NumPy numbers and arrays defer to the reflected operators below,
    # so `np.float64(2) * x` gives a MulOp instead of an object array.
    __array_ufunc__ = None

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self})"

    # Operands are checked when the node is built (numbers, NumPy numbers and expressions pass),
    # so they are typed Any here.
    def __add__(self, other: Any) -> AddOp:
        return _add(self, other)

    def __radd__(self, other: Any) -> AddOp:
        return _add(other, self)

    def __sub__(self, other: Any) -> AddOp:
        return _add(self, _negate(other))

    def __rsub__(self, other: Any) -> AddOp:
        return _add(other, _negate(self))

    def __neg__(self) -> MulOp:
        return _negate(self)

    def __pos__(self) -> Expression:
        return self

    def __mul__(self, other: Any) -> MulOp:
        return _mul(self, other)

    def __rmul__(self, other: Any) -> MulOp:
        return _mul(other, self)

    def __truediv__(self, other: Any) -> MulOp:
        return _mul(self, PowOp(other, NumberLit(-1)))

    def __rtruediv__(self, other: Any) -> MulOp:
        return _mul(other, PowOp(self, NumberLit(-1)))

    def __pow__(self, other: Any) -> PowOp:
        return PowOp(self, other)

    def __rpow__(self, other: Any) -> PowOp:
        return PowOp(other, self)

    def __mod__(self, other: Any) -> ModOp:
        return ModOp(self, other)

    def __rmod__(self, other: Any) -> ModOp:
        return ModOp(other, self)

    def __abs__(self) -> AbsOp:
        return AbsOp(self)

    # == and != build conditions, not the bool object's methods promise
    def __eq__(self, other: Any) -> _cond.EqualOp:  # type: ignore[override]
        return _cond.EqualOp(self, other)

    def __ne__(self, other: Any) -> _cond.NotEqualOp:  # type: ignore[override]
        return _cond.NotEqualOp(self, other)

    def __lt__(self, other: Any) -> _cond.LessThanOp:
        return _cond.LessThanOp(self, other)

    def __le__(self, other: Any) -> _cond.LessThanEqualOp:
        return _cond.LessThanEqualOp(self, other)

    def __gt__(self, other: Any) -> _cond.GreaterThanOp:
        return _cond.GreaterThanOp(self, other)

    def __ge__(self, other: Any) -> _cond.GreaterThanEqualOp:
        return _cond.GreaterThanEqualOp(self, other)

    def __getitem__(self, key: Any) -> Subscript:
        # Subscript(self, key) without the constructor's frame: a model written out term by term
        # subscripts once per factor of every term
        node = Subscript.__new__(Subscript)
        # an int subscript (the commonest) made a literal here, without as_scalar's frames
        subscripts: List[Expression] = []
        for s in key if isinstance(key, tuple) else (key,):
            if type(s) is int:
                literal = NumberLit.__new__(NumberLit)
                literal.value = s
                subscripts.append(literal)
            else:
                subscripts.append(as_scalar(s, "subscript"))
        _set_subscript(node, self, subscripts)
        return node

    def __iter__(self) -> NoReturn:
        # Without this, Python would iterate through __getitem__ with 0, 1, ...
        # forever, since a subscript is never out of range at modeling time.
        raise TypeError(f"{type(self).__name__} {self} is not iterable")

    def len_at(self, axis: int) -> ArrayLength:
        return ArrayLength(self, axis)


def made_of(cls: Type[T], terms: List[Any]) -> T:
    """A node of `cls` holding `terms`, every one checked already: a chain `a + b + c + ...`
    written term by term then costs one check per term, not one per term and step."""
    node = cls.__new__(cls)
    node.terms = terms  # type: ignore[attr-defined]
    return node


def chained(left: T, right: Any) -> T:
    """A node of `left`'s class whose terms are `left`'s as they are now, then `right` (checked
    already).

    A sum written term by term, as Python's built-in sum() over a generator writes it, would
    copy every step's terms into the next: quadratic. A step whose terms no one has read yet
    (see `_ChainedTerms`) holds a list it may share with the steps before it (`_shared`, of
    which its terms are the first `_len`): the next step appends to that list when no other
    step has, and copies the first `_len` otherwise. No step keeps the one before it alive, so
    a sum of n terms keeps one list and its n terms. A step whose list is out, and may have
    been changed since, is copied as it is now."""
    node = type(left).__new__(type(left))
    state = left.__dict__  # made for `left` alone, which a sum being written drops next
    shared = None if "terms" in state else state.get("_shared")
    length = state.get("_len")
    if shared is not None and length is not None:
        if len(shared) == length:
            shared.append(right)
            # another thread extending the same step may have appended first: then copy
            if len(shared) == length + 1:
                node._shared = shared  # type: ignore[attr-defined]
                node._len = length + 1  # type: ignore[attr-defined]
                return node
        made = shared[:length]
        made.append(right)
    else:
        made = [*left.terms, right]  # type: ignore[attr-defined]
    node._shared = made  # type: ignore[attr-defined]
    node._len = len(made)  # type: ignore[attr-defined]
    return node


def _pair(cls: Type[T], left: Any, right: Any) -> T:
    """A node of `cls` holding the two terms (checked already), its list not read yet."""
    return unread(cls, [left, right])


def unread(cls: Type[T], terms: List[Any]) -> T:
    """A node of `cls` holding `terms` (checked already, the list its own), not read yet: the
    next step of a sum written term by term extends the list instead of copying it."""
    node = cls.__new__(cls)
    node._shared = terms  # type: ignore[attr-defined]
    node._len = len(terms)  # type: ignore[attr-defined]
    return node


def _terms_op(cls: Any, what: str, left: Any, right: Any) -> Any:
    """``left + right`` (``cls`` AddOp) or ``left * right`` (MulOp), its operands checked as
    as_scalar checks them, without its frame for the common ones (a number, a scalar
    expression): a model written out term by term makes three such nodes per term. Sums and
    products flatten only on the left, so `a + b + c` is one sum while `a + (b + c)` keeps the
    grouping as written. Nodes are never mutated: the result is a new node."""
    kind = type(left)
    if kind is int or kind is float:
        left = _literal(left)
    elif not (isinstance(left, Expression) and left.ndim == 0):
        left = as_scalar(left, what)
    kind = type(right)
    if kind is int or kind is float:
        right = _literal(right)
    elif not (isinstance(right, Expression) and right.ndim == 0):
        right = as_scalar(right, what)
    return chained(left, right) if type(left) is cls else _pair(cls, left, right)


def _negate(value: Any) -> MulOp:
    return MulOp([NumberLit(-1), as_scalar(value, "operand of -")])


class NumberLit(Expression):
    def __init__(self, value: Any) -> None:
        number = _as_number(value)
        if number is None:
            raise TypeError(f"NumberLit value must be an int or float, got {_describe(value)}")
        self.value = number

    def __str__(self) -> str:
        return str(self.value)


class Placeholder(Expression):
    """Instance data, given a value when the problem is compiled."""

    def __init__(self, name: str, ndim: int = 0) -> None:
        self.name = _check_name(name, "Placeholder name")
        if isinstance(ndim, bool) or not isinstance(ndim, numbers.Integral):
            raise TypeError(f"Placeholder ndim must be an int, got {_describe(ndim)}")
        if ndim < 0:
            raise ValueError(f"Placeholder ndim must be >= 0, got {ndim}")
        self.ndim = int(ndim)

    def __str__(self) -> str:
        return self.name


class Range:
    """The half-open integer range [start, end); only used as an Element's domain."""

    def __init__(self, start: Any, end: Any) -> None:
        self.start = as_scalar(start, "Range start")
        self.end = as_scalar(end, "Range end")

    def __str__(self) -> str:
        return f"range({self.start}, {self.end})"

    def __repr__(self) -> str:
        return f"Range({self.start}, {self.end})"


class Element(Expression):
    """An index running over a range, 0..n-1, or the entries of an array along axis 0."""

    def __init__(self, name: str, belong_to: Any) -> None:
        self.name = _check_name(name, "Element name")
        if isinstance(belong_to, tuple):
            if len(belong_to) != 2:
                raise TypeError(f"Element belong_to tuple must be (start, end), got {_describe(belong_to)}")
            belong_to = Range(*belong_to)
        if isinstance(belong_to, Range):
            self.ndim = 0
        elif isinstance(belong_to, Expression) or _as_number(belong_to) is not None:
            belong_to = as_expr(belong_to)
            array = belong_to.variable if isinstance(belong_to, Subscript) else belong_to
            if isinstance(array, (BinaryVar, IntegerVar)):
                raise TypeError(
                    f"Element `{self.name}` runs over {belong_to}, a decision variable: an element runs over a "
                    "range, a number or instance data (a Placeholder, or a Subscript or Element of one)"
                )
            self.ndim = max(belong_to.ndim - 1, 0)
        else:
            raise TypeError(
                "Element belong_to must be a (start, end) tuple, a Range, a number "
                f"or an expression, got {_describe(belong_to)}"
            )
        self.belong_to: Union[Range, Expression] = belong_to

    def __str__(self) -> str:
        return self.name


def _shape(shape: Any) -> Tuple[Expression, ...]:
    if not isinstance(shape, (tuple, list)):
        shape = (shape,)
    entries = []
    for entry in shape:
        number = _as_number(entry)
        if number is not None and number < 0:
            raise ValueError(f"shape entries must not be negative, got {entry}")
        entries.append(as_scalar(entry, "shape entry"))
    return tuple(entries)


class BinaryVar(Expression):
    def __init__(self, name: str, shape: Any = ()) -> None:
        self.name = _check_name(name, "BinaryVar name")
        self.shape = _shape(shape)
        self.ndim = len(self.shape)

    def __str__(self) -> str:
        return self.name


class IntegerVar(Expression):
    def __init__(self, name: str, shape: Any = (), lower_bound: Any = None, upper_bound: Any = None) -> None:
        self.name = _check_name(name, "IntegerVar name")
        self.shape = _shape(shape)
        self.ndim = len(self.shape)
        self.lower_bound = self._bound(lower_bound, "lower_bound")
        self.upper_bound = self._bound(upper_bound, "upper_bound")

    def _bound(self, value: Any, what: str) -> Expression:
        if value is None:
            raise TypeError(f"IntegerVar {self.name!r} needs a {what}")
        bound = as_expr(value, f"{what} of IntegerVar {self.name!r}")
        # An array bound applies element-wise, so it must match the variable.
        if bound.ndim not in (0, self.ndim):
            raise ValueError(f"{what} of IntegerVar {self.name!r} has ndim {bound.ndim}; expected 0 or {self.ndim}")
        return bound

    def __str__(self) -> str:
        return self.name


def _set_subscript(node: Subscript, variable: Expression, subscripts: List[Expression]) -> None:
    """Checks a subscripted expression's subscripts (scalars already) against its ndim and sets
    the node's fields."""
    if not subscripts:
        raise ValueError(f"subscripting {variable} needs at least one subscript")
    ndim = variable.ndim
    if len(subscripts) > ndim:
        raise ValueError(f"{variable} has ndim {ndim} but was given {len(subscripts)} subscript(s)")
    node.variable = variable
    node.subscripts = subscripts
    node.ndim = ndim - len(subscripts)


class Subscript(Expression):
    variable: Expression
    subscripts: List[Expression]

    def __init__(self, variable: Expression, subscripts: Iterable[Any]) -> None:
        if not isinstance(variable, Expression):
            raise TypeError(f"only expressions can be subscripted, got {_describe(variable)}")
        _set_subscript(self, variable, [as_scalar(s, "subscript") for s in subscripts])

    def __str__(self) -> str:
        return f"{self.variable}[{', '.join(map(str, self.subscripts))}]"


class ArrayLength(Expression):
    def __init__(self, array: Expression, axis: int) -> None:
        if not isinstance(array, Expression):
            raise TypeError(f"len_at needs an array expression, got {_describe(array)}")
        if isinstance(axis, bool) or not isinstance(axis, numbers.Integral):
            raise TypeError(f"len_at axis must be an int, got {_describe(axis)}")
        # Only the kinds that can be arrays are checked here; the length of anything else
        # (a number, an operator) is refused by the lowering, which names the node.
        if axis < 0 or (isinstance(array, _ARRAY_KINDS) and axis >= array.ndim):
            raise ValueError(f"axis {axis} is out of range for {array} with ndim {array.ndim}")
        self.array: Expression = array
        self.axis: int = int(axis)

    def __str__(self) -> str:
        return f"len_at({self.array}, {self.axis})"


class _ChainedTerms:
    """The `terms` of a node made by `_add` or `_mul` (through `chained` or `_pair`), first read.

    Such a node keeps its terms privately: the first `_len` items of a list it may share with
    the steps before and after it (`_shared`), which only ever grows at its end. The first
    read copies them out as `terms`, kept in the node's `__dict__` (which this non-data
    descriptor yields to from then on), and drops the shared list: no edit of a list read out
    reaches another node, and no later step reaches this one's. Threads reading one node at
    once make equal lists; one of them is kept."""

    def __get__(self, node: Any, owner: Any = None) -> Any:
        if node is None:
            return self
        state = node.__dict__
        shared, length = state.get("_shared"), state.get("_len")
        if shared is None or length is None:  # read meanwhile, by another thread
            terms = state.get("terms")
            if terms is None:
                raise AttributeError(f"{type(node).__name__!r} object has no attribute 'terms'")
            return terms
        terms = state.setdefault("terms", shared[:length])
        state.pop("_shared", None)
        state.pop("_len", None)
        return terms


class _TermsOp(Expression):
    terms: List[Expression] = _ChainedTerms()  # type: ignore[assignment]

    def __init__(self, terms: Iterable[Any]) -> None:
        self.terms = [as_scalar(t, f"term of {type(self).__name__}") for t in terms]

    def __getstate__(self) -> Dict[str, Any]:
        # a node made term by term pickles and copies as its list, not as linked steps
        state = self.__dict__
        if "terms" not in state and "_shared" in state:
            self.terms  # noqa: B018
        return {key: value for key, value in state.items() if key not in ("_shared", "_len")}


class AddOp(_TermsOp):
    def __str__(self) -> str:
        return "(" + " + ".join(map(str, self.terms)) + ")"


class MulOp(_TermsOp):
    def __str__(self) -> str:
        return "(" + " * ".join(map(str, self.terms)) + ")"


# partials, called without a frame of their own
_add: Callable[[Any, Any], AddOp] = functools.partial(_terms_op, AddOp, "operand of +")
_mul: Callable[[Any, Any], MulOp] = functools.partial(_terms_op, MulOp, "operand of *")


class MaxOp(_TermsOp):
    def __str__(self) -> str:
        return "max(" + ", ".join(map(str, self.terms)) + ")"


class MinOp(_TermsOp):
    def __str__(self) -> str:
        return "min(" + ", ".join(map(str, self.terms)) + ")"


class PowOp(Expression):
    def __init__(self, base: Any, exponent: Any) -> None:
        self.base = as_scalar(base, "base of **")
        self.exponent = as_scalar(exponent, "exponent of **")

    def __str__(self) -> str:
        return f"({self.base} ** {self.exponent})"


class ModOp(Expression):
    def __init__(self, left: Any, right: Any) -> None:
        self.left = as_scalar(left, "operand of %")
        self.right = as_scalar(right, "operand of %")

    def __str__(self) -> str:
        return f"({self.left} % {self.right})"


class _UnaryOp(Expression):
    _function = ""

    def __init__(self, operand: Any) -> None:
        self.operand = as_scalar(operand, f"operand of {self._function}")

    def __str__(self) -> str:
        return f"{self._function}({self.operand})"


class LnOp(_UnaryOp):
    _function = "ln"


class Log2Op(_UnaryOp):
    _function = "log2"


class Log10Op(_UnaryOp):
    _function = "log10"


class CeilOp(_UnaryOp):
    _function = "ceil"


class FloorOp(_UnaryOp):
    _function = "floor"


class AbsOp(_UnaryOp):
    _function = "abs"


def _nodes(roots: Iterable[Any]) -> Iterable[Any]:
    """Every expression and condition node under `roots`, each once (a shared subtree too)."""
    seen: set = set()
    stack = list(roots)
    while stack:
        node = stack.pop()
        if isinstance(node, (list, tuple)):
            stack.extend(node)
            continue
        if not isinstance(node, (Expression, Range, _cond.Condition)) or id(node) in seen:
            continue
        seen.add(id(node))
        yield node
        state = vars(node)
        for key, value in state.items():
            if key == "_shared":
                # a sum made term by term: its terms are the first `_len` of a list that later
                # steps extend with terms of their own (read out as `terms`, the list is gone)
                if "terms" not in state:
                    stack.extend(value[: state.get("_len", len(value))])
            elif key != "_len":
                stack.append(value)


def check_bound_names(bound: Iterable[Element], roots: Iterable[Any], where: str) -> None:
    """Elements are bound by name while they run: inside the scope of `bound` (a sum's index,
    a forall list), another element of the same name, or a sum that binds the name again,
    would read the wrong value. Refused, naming the element."""
    names = {element.name: element for element in bound}
    for node in _nodes(roots):
        if isinstance(node, _Reduction) and node.index.name in names:
            raise ValueError(
                f"{where} binds the element `{node.index.name}`, and {node._function}_{{{node.index.name}}} inside it "
                "binds that name again: give each element its own name"
            )
        outer = names.get(node.name) if isinstance(node, Element) else None
        # another element of the name over the same values is the same index (bound by name)
        if outer is not None and outer is not node and str(outer.belong_to) != str(node.belong_to):
            raise ValueError(
                f"{where} binds the element `{node.name}` over {outer.belong_to}, and an element of that name over "
                f"{node.belong_to} is read inside it: elements are bound by name, so give each its own name"
            )


class _Reduction(Expression):
    _function = ""

    def __init__(self, index: Element, operand: Any, condition: Optional[_cond.Condition] = None) -> None:
        if not isinstance(index, Element):
            raise TypeError(f"{self._function} index must be an Element, got {_describe(index)}")
        if condition is not None and not isinstance(condition, _cond.Condition):
            raise TypeError(f"{self._function} condition must be a condition or None, got {_describe(condition)}")
        self.index = index
        self.operand = as_scalar(operand, f"operand of {self._function}")
        self.condition = condition
        check_bound_names([index], [self.operand, condition], f"{self._function}_{{{index.name}}}")

    def __str__(self) -> str:
        over = str(self.index) if self.condition is None else f"{self.index} | {self.condition}"
        return f"{self._function}_{{{over}}}({self.operand})"


class SumOp(_Reduction):
    _function = "sum"


class ProdOp(_Reduction):
    _function = "prod"


# The node kinds that may stand for an array (the others are always scalars).
_ARRAY_KINDS = (Placeholder, Element, BinaryVar, IntegerVar, Subscript)
