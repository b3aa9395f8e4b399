"""One interpreter cycle of the embedding test, run by embed_cycles.cpp.

Imports the module from the directory named by VAK_EMBED_MODULE_DIR, calls every
function and prints one line "RESULT <json>" that must read the same in every cycle,
then the addresses of the module and its NativeBuffer type, which must be new, and at
exit one line "AT EXIT <json>".
A sub-interpreter writes its import outcome to the file named by VAK_EMBED_SUB_RESULT.
"""
import array
import atexit
import importlib
import json
import os
import signal
import sys
import time
import zlib

MODULE_DIR = os.environ["VAK_EMBED_MODULE_DIR"]
sys.path.insert(0, MODULE_DIR)
import vak_orn_kernel as vk  # noqa: E402


def plain(value):
    """The value with buffers, dicts and bytes spelled out for JSON; long sequences as
    their length and a checksum (not hashlib's: it crashes in a restarted 3.12.1)."""
    if isinstance(value, vk.NativeBuffer):
        view = memoryview(value)
        return ["NativeBuffer", view.format, view.itemsize, view.readonly, plain(view.tolist())]
    if isinstance(value, dict):
        return [[key, plain(item)] for key, item in value.items()]
    if isinstance(value, bytes):
        value = list(value)
    if isinstance(value, (list, tuple)):
        items = [plain(item) for item in value]
        if len(items) <= 32:
            return items
        return ["crc32", len(items), zlib.crc32(json.dumps(items).encode())]
    return value


def failure(call):
    try:
        call()
    except Exception as error:
        return [type(error).__name__, str(error)]
    return None


def sub_interpreter_import():
    """What importing the module in a sub-interpreter of this cycle gives."""
    try:
        import _interpreters as interpreters
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            return "no sub-interpreters"
    path = os.environ["VAK_EMBED_SUB_RESULT"]
    if os.path.exists(path):
        os.remove(path)  # the outcome of an earlier cycle
    code = (f"import sys\nsys.path.insert(0, {MODULE_DIR!r})\n"
            "try:\n    import vak_orn_kernel\n    outcome = 'imported'\n"
            "except ImportError:\n    outcome = 'ImportError'\n"
            f"with open({path!r}, 'w') as f:\n    f.write(outcome)\n")
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
    with open(path) as f:
        return f.read()


def interrupted_inside_a_released_call():
    """Whether a signal handler stops a long scan while the scan runs without the
    interpreter lock, rather than only after it returns: compared with the scan's
    own undisturbed time."""
    pattern = array.array("I", [0x80400, 0x90400, 0xA0400, 0x00009,
                                0x8E000, 0x8A000, 0x89000, 0x80100])
    words = pattern * (1 << 17)
    while True:
        start = time.perf_counter()
        vk.scan_stream(words)
        undisturbed = time.perf_counter() - start
        if undisturbed >= 0.4 or len(words) >= 1 << 26:
            break
        words = words * 2

    class Alarm(Exception):
        pass

    def on_alarm(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, undisturbed / 10)
        start = time.perf_counter()
        try:
            vk.scan_stream(words)
            time.sleep(undisturbed)  # an alarm not handled inside the call is handled here
        except Alarm:
            pass
        elapsed = time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return elapsed < undisturbed / 2


def payload_bytes_made_and_dropped():
    """Scans that make 256 MiB of payloads (and as much in input copies), all dropped before the
    cycle ends: memory that grew with them from cycle to cycle would be a leak."""
    image_run = array.array("I", [0x80400]) * (1 << 25)
    music_run = array.array("I", [0x8E000]) * (1 << 22)
    results = [vk.scan_stream(image_run)] + vk.scan_stream_batch([music_run] * 8)
    return sum(memoryview(value).nbytes for result in results for value in result.values()
               if isinstance(value, vk.NativeBuffer))


def reimport_gives_the_same_module():
    del sys.modules["vak_orn_kernel"]
    return importlib.import_module("vak_orn_kernel") is vk


def still_working_while_the_interpreter_exits():
    # Python-level exit handlers run inside the finalisation; the module must not
    # have let go of its objects yet.
    result = vk.scan_stream([0x80400, 0x90400, 0xA0400], record_invalid=True)
    print("AT EXIT " + json.dumps(plain(result)), flush=True)


def main():
    atexit.register(still_working_while_the_interpreter_exits)
    text = "Grüße, ǅemal — 世界 🙂 e\u0301"
    image = bytes((x * 7 + y * 13 + c * 29) % 256 for y in range(48) for x in range(40)
                  for c in range(3))
    encoded = vk.encode_quadtree(image, 40, 48, 5, 2.5)
    stream = ([0x00009, 0x8E000, 0x8A000, 0x89000, 0x81800, 0x80400, 0x90400, 0xA0400, 0xB0400,
               0xC0100, 0x80200, 0x80800, 0x100000, 0xFFFFFFFF] * 50)
    big = list(range(0, 0xFFFFF, 3))  # enough for the pool to split the batch
    batch = vk.scan_stream_batch([stream, list(encoded[0]), big, big[::-1]], True)
    results = {
        "attributes": [vk.__version__, vk.WORD_MASK, vk.__all__, vk.__doc__, vk.__name__],
        "signatures": [getattr(vk, name).__text_signature__ for name in vk.__all__[3:]],
        "functions_bound_to_module": all(getattr(vk, name).__self__ is vk
                                         for name in vk.__all__[3:]),
        "registry_at_start": vk.backend_info()["normal_word_count"],
        "configure_normal_words": vk.configure_normal_words([5, 3, 5, 9, 0x100000]),
        "backend_info": vk.backend_info(),
        "encode_text": vk.encode_text(text),
        "encode_quadtree": encoded,
        "decode_quadtree": vk.decode_quadtree(encoded[0]),
        "scan_stream": vk.scan_stream(stream + [None, -1, "x"], record_invalid=True),
        "scan_stream_batch": batch,
        "buffer_type": [type(batch[0]["music_words_u32le"]) is vk.NativeBuffer,
                        repr(vk.NativeBuffer)],
        "refusals": [failure(vk.NativeBuffer), failure(lambda: vk.decode_quadtree([1, 2])),
                     failure(lambda: vk.scan_stream_batch("ab")),
                     failure(lambda: vk.encode_quadtree(b"", 0, 0, 9, 1.0))],
        "reimport_gives_the_same_module": reimport_gives_the_same_module(),
        "sub_interpreter_import": sub_interpreter_import(),
        "interrupted_inside_a_released_call": interrupted_inside_a_released_call(),
        "payload_bytes_made_and_dropped": payload_bytes_made_and_dropped(),
    }
    print("RESULT " + json.dumps(plain(results)), flush=True)
    # Objects of a finalised interpreter are never freed, so objects made anew in
    # this cycle cannot share their addresses.
    print(f"OBJECTS module={id(vk)} type={id(vk.NativeBuffer)}", flush=True)


main()
