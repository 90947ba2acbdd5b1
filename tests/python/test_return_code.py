"""ReturnCode: a strict enumeration of device results, without arithmetic or ordering."""

import pytest

import pyvorn_device
from pyvorn_device import ReturnCode


def test_members_values_and_names():
    assert list(ReturnCode.__members__) == ["Success", "Failure"]
    assert (ReturnCode.Success.value, int(ReturnCode.Failure)) == (0, 1)
    assert ReturnCode.Failure.__index__() == 1
    assert ReturnCode(1) == ReturnCode.Failure
    assert (repr(ReturnCode.Failure), str(ReturnCode.Success)) == (
        "<ReturnCode.Failure: 1>",
        "ReturnCode.Success",
    )
    assert ReturnCode.__doc__.startswith("Members:")
    assert not hasattr(pyvorn_device, "Success") and not hasattr(pyvorn_device, "Failure")


def test_any_int32_is_accepted_but_only_int32():
    unknown = ReturnCode(7)
    assert (unknown.name, unknown.value) == ("???", 7)
    assert unknown != ReturnCode.Failure
    assert ReturnCode(-(2**31)).value == -(2**31)
    for bad in (2**31, -(2**31) - 1, 1.0):
        with pytest.raises(TypeError):
            ReturnCode(bad)


def test_equality_is_strict():
    assert (ReturnCode.Success == 0) is False
    assert (ReturnCode.Success != 0) is True
    assert ReturnCode.Failure != 1
    assert ReturnCode.Success != None  # noqa: E711 (the comparison itself is under test)
    assert hash(ReturnCode.Failure) == 1
    assert {ReturnCode(0): "ok"}[ReturnCode.Success] == "ok"


def test_no_ordering_and_no_arithmetic():
    with pytest.raises(TypeError):
        ReturnCode.Success < ReturnCode.Failure  # noqa: B015
    with pytest.raises(TypeError):
        ReturnCode.Failure | ReturnCode.Success  # noqa: B015
    with pytest.raises(TypeError):
        ReturnCode.Failure + 1  # noqa: B015

