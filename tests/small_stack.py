"""Code for a child process that makes its next threads' stacks as small as it can.

32 KiB is what the module promises to work on. CPython 3.14 and later refuse Python
threads with stacks that small (they keep a margin of their own for Python code: 52 KiB
on x86-64 Linux), so there the child takes the smallest size its interpreter accepts.
"""

SET_SMALLEST_STACK = """
import threading
def _set_smallest_stack():
    size = 32768
    while True:
        try:
            threading.stack_size(size)
            return
        except ValueError:  # below this interpreter's minimum
            size += 4096
            if size > 256 * 1024:
                raise
_set_smallest_stack()
"""
