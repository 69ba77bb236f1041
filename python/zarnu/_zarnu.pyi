"""The native module of the `zarnu` package."""

import datetime
from collections.abc import Callable
from typing import Any, Literal, Protocol, TypedDict, final, type_check_only

__version__: str

@type_check_only
class _Timestamped(Protocol):
    def timestamp(self) -> float: ...

# The current time of an evaluation: milliseconds since the epoch, an ISO 8601 timestamp, or an object
# with a `timestamp()` in seconds (a `datetime`).
_Now = float | str | datetime.datetime | _Timestamped

@type_check_only
class _Limits(TypedDict, total=False):
    max_items: int
    max_string: int
    max_depth: int
    max_rejected: int
    max_nodes: int
    max_source: int

@type_check_only
class _AuditError(TypedDict):
    code: str
    message: str
    position: int | None
    start: int | None
    end: int | None
    token: str | None
    value: Any

@type_check_only
class _Audited(TypedDict):
    result: Any
    error: _AuditError | None
    audit: dict[str, Any]
    explanation: dict[str, Any]
    explanation_text: str

@final
class Expression:
    """A compiled JSONata expression.

    Compile once, then evaluate against any number of documents, from any thread."""

    def __new__(cls, source: str) -> Expression: ...
    @property
    def source(self) -> str:
        """The source text of the expression."""

    def evaluate(
        self,
        input: Any = None,
        bindings: dict[str, Any] | None = None,
        *,
        timeout: float | None = None,
        max_depth: int | None = None,
        max_string_length: int | None = None,
        max_array_length: int | None = None,
        max_result_size: int | None = None,
        now: _Now | None = None,
        seed: int | None = None,
    ) -> Any:
        """Evaluates the expression against `input`, read one level at a time as the expression
        reaches it. `None` means no input document, and a result of `None` an undefined result
        or `null`."""

    def evaluate_json(
        self,
        input: str | None = None,
        bindings: dict[str, Any] | None = None,
        *,
        timeout: float | None = None,
        max_depth: int | None = None,
        max_string_length: int | None = None,
        max_array_length: int | None = None,
        max_result_size: int | None = None,
        now: _Now | None = None,
        seed: int | None = None,
    ) -> str | None:
        """Like `evaluate`, with the input document and the result as JSON text: `None` for an
        undefined result, `"null"` for `null`. The fields of the input that the expression does
        not read (`reads()`, without bindings) are skipped while parsing. The evaluation lets
        other Python threads run, and attaches again to call a host function written in Python."""

    def evaluate_document(
        self,
        document: Document,
        bindings: dict[str, Any] | None = None,
        *,
        timeout: float | None = None,
        max_depth: int | None = None,
        max_string_length: int | None = None,
        max_array_length: int | None = None,
        max_result_size: int | None = None,
        now: _Now | None = None,
        seed: int | None = None,
    ) -> Any:
        """Evaluates the expression against a `Document` converted beforehand. The evaluation lets
        other Python threads run."""

    def evaluate_with_audit(
        self,
        input: Any = None,
        bindings: dict[str, Any] | None = None,
        *,
        level: Literal["off", "decisions", "full"] | None = None,
        limits: _Limits | None = None,
        timeout: float | None = None,
        max_depth: int | None = None,
        max_string_length: int | None = None,
        max_array_length: int | None = None,
        max_result_size: int | None = None,
        now: _Now | None = None,
        seed: int | None = None,
    ) -> _Audited:
        """Evaluates the expression and records how the result was reached, at `level` (`"off"`,
        `"decisions"`, the default, or `"full"`) within the capture `limits`. The input is
        converted whole first. Evaluation errors are not raised: they are reported in the result,
        a `dict` with `result`, `error`, `audit`, `explanation` and `explanation_text`."""

    def reads(self, bindings: dict[str, Any] | None = None) -> dict[str, Any]:
        """The fields of the input and of the bindings the expression reads (ADR 0016), as a `dict`
        in the JSON form. The functions in `bindings`, and those registered on the expression,
        read only their arguments, since a Python function does not receive the context of its
        call; a call to a function the analysis does not know reads its context whole."""

    def register_function(
        self, name: str, implementation: Callable[..., Any], signature: str | None = None
    ) -> None:
        """Makes `implementation` available to the expression as `$name`, in every evaluation. With
        a `signature` (such as `<n-n?:n>`), arguments are checked before each call, as for
        built-in functions. A function of the same name in the bindings takes precedence.
        Raises a `ZarnuError` when the signature is invalid."""

@final
class Document:
    """A JSON document converted once, for evaluating several expressions (or one several times)
    against it. It can be shared between threads: each thread converts it into zarnu's internal
    representation the first time it evaluates against it, and keeps that copy while the
    document lives."""

    def __new__(cls, value: Any) -> Document: ...
    @staticmethod
    def from_json(text: str, read: bool | dict[str, Any] | None = None) -> Document:
        """Parses JSON text. With `read` (the `"input"` of `reads()` or of `union_reads()`), the
        fields it leaves out are skipped: they are checked as JSON syntax only."""

@final
class Function:
    """A JSONata function passed to a Python function, such as the lambda in `$retry(function()
    {...}, 3)`. Calling it applies the function with the context value `null`; it is valid until
    the Python function returns."""

    def __call__(self, *args: Any) -> Any: ...
    @property
    def arity(self) -> int:
        """The number of parameters the function declares."""

class ZarnuError(Exception):
    """A JSONata error: `code` is its JSONata code (such as `S0201` or `T2001`), and `position`, `start`, `end`, `token` and `value` say where and on what it happened, when known."""

    code: str
    position: int | None
    start: int | None
    end: int | None
    token: str | None
    value: Any

def union_reads(reads: list[dict[str, Any]] | tuple[dict[str, Any], ...]) -> dict[str, Any]:
    """What any of several expressions reads: the union of their `reads()`. Raises a `TypeError`
    when `reads` is not a list or a tuple, and a `ValueError` when an item is not in the form
    `reads()` returns."""
