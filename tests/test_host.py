"""The stand-in host: op table, calls, and how exceptions thrown by ops reach Python."""

import traceback

import pytest


@pytest.mark.parametrize(
    "op, exception, message",
    [
        ("raise_cast_error", TypeError, "cast refused"),
        ("raise_invalid_argument", ValueError, "bad argument"),
        ("raise_bad_alloc", MemoryError, ""),
        ("raise_runtime_error", RuntimeError, "runtime failure"),
        ("raise_length_error", RuntimeError, "too long"),
        ("raise_unknown", RuntimeError, "unknown C++ exception"),
    ],
)
def test_cpp_exceptions_map_to_python(host, test_ops, op, exception, message):
    with pytest.raises(exception) as caught:
        host.call(op, {})
    assert type(caught.value) is exception
    assert str(caught.value) == message


def test_filesystem_error_becomes_oserror_with_code_message_and_path(host, test_ops):
    with pytest.raises(IsADirectoryError) as caught:
        host.call("raise_filesystem_error", {})
    error = caught.value
    assert (error.errno, error.strerror, error.filename) == (21, "Is a directory", "/no/such")


def test_python_exception_is_restored_as_it_was(host, test_ops):
    class Custom(Exception):
        pass

    def failing_callable():
        raise Custom("from Python", 7)

    with pytest.raises(Custom) as caught:
        host.call("raise_python_error", {"callable": failing_callable})
    assert caught.value.args == ("from Python", 7)
    frames = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert frames[-1] == "failing_callable"


def test_what_an_op_wrote_before_failing_stays(host, test_ops):
    payload = {}
    with pytest.raises(RuntimeError, match="after writing"):
        host.call("write_then_raise", payload)
    assert payload == {"written": True}


def test_call_returns_the_same_dict_uncopied(host, test_ops):
    payload = {"a": 1}
    assert host.call("noop", payload) is payload


def test_call_returns_the_dict_the_record_holds_after_the_op(host, test_ops):
    payload = {"a": 1}
    assert host.call("replace_payload", payload) == {"replaced": True}
    assert payload == {"a": 1}


def test_dict_subclass_passes_and_other_payloads_are_refused(host, test_ops):
    class Payload(dict):
        pass

    payload = Payload(a=1)
    assert host.call("noop", payload) is payload
    for not_a_dict in ([], None, "x", [("a", 1)]):
        with pytest.raises(TypeError, match="payload must be a dict"):
            host.call("noop", not_a_dict)
        with pytest.raises(TypeError, match="payload must be a dict"):
            host.run(["noop"], not_a_dict)


def test_unknown_op_raises_keyerror(host, test_ops):
    with pytest.raises(KeyError) as caught:
        host.call("no such op", {})
    assert caught.value.args == ("no such op",)


def test_run_checks_every_name_before_running_any_op(host, test_ops):
    payload = {}
    with pytest.raises(KeyError):
        host.run(["write_then_raise", "no such op"], payload)
    assert payload == {}


def test_run_passes_one_record_through_the_ops_in_order(host, test_ops):
    result = host.run(["replace_payload", "noop"], {"a": 1})
    assert result == {"replaced": True}
    with pytest.raises(RuntimeError, match="after writing"):
        host.run(["noop", "write_then_raise", "raise_unknown"], {})


def test_second_registration_replaces_the_op_and_keeps_its_place(host, test_ops):
    assert host.ops().count("duplicate") == 1
    assert host.ops().index("duplicate") == host.ops().index("convert") + 1
    assert host.registrations().count("duplicate") == 2
    host.call("duplicate", {})  # the second function, which does nothing


def test_registration_log_keeps_every_call_in_order(host, test_ops):
    log = host.registrations()
    start = log.index("raise_python_error")
    assert log[start : start + 3] == ["raise_python_error", "raise_cast_error", "raise_invalid_argument"]
