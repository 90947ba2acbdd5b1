"""Helpers of the stream tests: CallLog, a stream callable that logs every call it gets, and the
bytes the test plugins produce."""

import threading


class CallLog:
    """A stream callable: logs every call as (bytes or None, str or None), tells when the end
    (None, None) came, and optionally keeps the chunk objects too."""

    def __init__(self, keep=False):
        self.calls = []
        self.kept = []
        self.keep = keep
        self.ended = threading.Event()
        self.threads = set()

    def __call__(self, data, error):
        self.threads.add(threading.get_ident())
        if data is not None:
            if self.keep:
                self.kept.append(data)
            data = bytes(data)
        self.calls.append((data, error))
        if data is None and error is None:
            self.ended.set()

    def wait_end(self, timeout=10.0):
        assert self.ended.wait(timeout), f"the stream did not end; calls so far: {self.calls}"
        return self

    @property
    def chunks(self):
        return [data for data, _ in self.calls if data is not None]

    @property
    def errors(self):
        return [error for _, error in self.calls if error is not None]


def counter_bytes(start, count):
    """The bytes the test plugins produce: byte k of a stream is k mod 256."""
    return bytes((start + k) % 256 for k in range(count))
