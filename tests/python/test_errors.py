"""ZarnuError: the class, and the attributes of a raised error, with places counted in characters of the
source text whatever its bytes or UTF-16 units."""

import pytest

import zarnu
from zarnu import Expression, ZarnuError

DOC = (
    "A JSONata error: `code` is its JSONata code (such as `S0201` or `T2001`), and `position`, `start`, "
    "`end`, `token` and `value` say where and on what it happened, when known."
)


def raised(source, *args, **kwargs):
    with pytest.raises(ZarnuError) as info:
        Expression(source).evaluate(*args, **kwargs)
    return info.value


def attributes(error):
    return (error.code, error.position, error.start, error.end, error.token, error.value)


def test_class():
    assert ZarnuError.__mro__ == (ZarnuError, Exception, BaseException, object)
    assert (ZarnuError.__module__, ZarnuError.__qualname__) == ("zarnu", "ZarnuError")
    assert ZarnuError.__doc__ == DOC
    assert zarnu._zarnu.ZarnuError is ZarnuError
    # The attributes belong to each raised error, not to the class.
    assert not hasattr(ZarnuError, "code")


class TestPlacesInCharacters:
    def test_syntax_error_after_a_character_beyond_the_bmp(self):
        # ")" is character 6, UTF-16 unit 7 and byte 9 of the source.
        source = '"😀" + )'
        error = raised(source)
        assert attributes(error) == ("S0211", 7, 6, 7, ")", None)
        assert source[error.start : error.end] == ")"

    def test_two_byte_characters(self):
        error = raised("é + x", {"é": "a", "x": 1})
        assert (error.code, error.start, error.end, error.position) == ("T2001", 0, 5, 3)
        error = raised('"é" + x', {"x": 1})
        assert (error.start, error.end, error.position, error.value) == (0, 7, 5, "é")

    def test_position_counts_each_character_once(self):
        source = '"😀😀" & $x + 1'
        error = raised(source, bindings={"x": "a"})
        assert error.position == source.index("+") + 1
        assert (error.start, error.end) == (0, len(source))

    def test_errors_without_places(self):
        error = raised("[1, 2, 3]", max_result_size=3)
        assert attributes(error) == ("U1001", None, None, None, None, None)


class TestAttributes:
    def test_message_is_the_only_argument(self):
        error = raised('"a" + 1')
        assert str(error) == 'The left side of the "+" operator must evaluate to a number'
        assert error.args == (str(error),)

    def test_token_and_value(self):
        error = raised("$f()", bindings={"f": 5})
        assert (error.code, error.token, error.value) == ("T1006", "f", None)
        error = raised("((1))", max_depth=1)
        assert (error.code, error.value) == ("D1011", 1)

    def test_value_keeps_its_python_type(self):
        assert raised('[1, 2] + 1').value == [1, 2]
        assert raised('{"a": 1.5} + 1').value == {"a": 1.5}
        assert raised('true + 1').value is True

    def test_compile_errors_carry_places(self):
        with pytest.raises(ZarnuError) as info:
            Expression("a + ")
        assert info.value.code == "S0207"
        assert info.value.position == 4
