"""Benchmark of encode_text on six generated ~10 MB corpora.

For each corpus, in one run (the calls of a round taken in turn, so that a
busy machine slows them alike):
- encode_text(s) against the floor list(s.encode("utf-8")): medians of
  --repeat rounds of wall time, of the calling thread's CPU time and of the
  process's (a long text is encoded on a second thread too, whose time the
  process's CPU time counts and the calling thread's does not);
- the same floor at the length of the result: s.encode("utf-8") and then a
  list of as many ints as encode_text returns, made the fastest way there is
  (list(bytes)). Where the result has more items than the text has bytes
  (Korean: decomposition into jamo), no list of it can be made for less;
- the peak memory of encode_text beyond its result list, in bytes per UTF-8
  byte of input: the peak resident growth of a fresh child process that calls
  encode_text(s), minus that of a fresh baseline child that builds the same
  list (equal ints shared, as encode_text shares them) from a file of the words;
- with --python, the pure-Python encoder (unicodedata.normalize and a packing
  loop) for comparison.
Then one long run of combining marks at growing lengths: the time per mark
must stay flat (canonical ordering is linear). The machine's load average is
printed before and after: on a shared machine wall times mean little without it.

    python3 bench/bench_text.py [--mb 10] [--repeat 11] [--python]

Goals: encode_text at most 1.3x the floor in wall time on every corpus; at most
5 bytes of peak memory beyond the list per UTF-8 byte.
"""

import argparse
import array
import gc
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import unicodedata

import vak_orn_kernel as vok
from common import machine_scaling

DIRECT = frozenset([0x09, 0x0A, 0x0D, *range(0x20, 0x7F), 0xC6, 0xE6, 0xD8, 0xF8, 0xDF, 0x152, 0x153])


def pure_python_encode(text):
    words = []
    run = bytearray()
    append = words.append
    for ch in unicodedata.normalize("NFD", text):
        cp = ord(ch)
        if cp in DIRECT:
            if run:
                if len(run) & 1:
                    run.append(0)
                for i in range(0, len(run), 2):
                    append(0x40000 | (run[i] << 8) | run[i + 1])
                run.clear()
            append(cp)
        else:
            run += ch.encode("utf-8")
    if run:
        if len(run) & 1:
            run.append(0)
        for i in range(0, len(run), 2):
            append(0x40000 | (run[i] << 8) | run[i + 1])
    return words


# --- corpora: deterministic, generated here ----------------------------------

ENGLISH = ("the of and to in a is that for it as was with be by on not he this are or his from "
           "at which but have an they you were her she there been one all we their has would "
           "when if so no what up out about into than them can only other new some could time "
           "these two may then do first any my now such like our over man me even most made "
           "after also did many before must through back years where much your way well down "
           "should because each just those people how too little state good very make world "
           "still own see men work long get here between both life being under never day same "
           "another know while last might us great old year off come since against go came "
           "right used take three").split()
EUROPEAN = ("été déjà où très après français élève café naïve crème brûlée garçon façade "
            "Straße Mädchen schön über Grüße Bär Käse Öl Übung fünf größer "
            "niño año señor mañana corazón también canción pequeño "
            "żółć źdźbło łąka więcej ścieżka gęś "
            "søster Ærø blåbær æble øl smørrebrød kærlighed "
            "cœur œuvre sœur bœuf "
            "São Paulo ação coração não irmã "
            "the and une des die der la el de och på med "
            "Čeština Příliš žluťoučký kůň úpěl ďábelské ódy").split()
KOREAN = ("한국어 대한민국 서울 사람 시간 세계 경제 사회 문화 정부 교육 학생 학교 선생님 "
          "가족 친구 음식 생각 이야기 오늘 내일 어제 지금 여기 거기 우리 그리고 하지만 "
          "그래서 있다 없다 하다 되다 보다 알다 가다 오다 먹다 읽다 쓰다 말하다 "
          "아름다운 행복 사랑 평화 자연 바다 하늘 산 강 나무 꽃").split()
VIETNAMESE = ("Tiếng Việt là ngôn ngữ của người Việt và là ngôn ngữ chính thức tại Việt Nam những được "
              "một không người trong để đã có này với các cho đến khi nhiều năm thời gian quốc gia dân "
              "tộc lịch sử văn hóa phát triển kinh tế xã hội chúng tôi họ mình ở đây đó sẽ cũng rất "
              "nữa thì mà nhưng hoặc vì nên nếu sau trước giữa trên dưới ngoài bên cạnh nhà trường "
              "học sinh giáo viên bệnh viện đường phố thành phố Hà Nội Hồ Chí Minh Huế Đà Nẵng sông "
              "núi biển trời đất nước lửa gió").split()
# Non-starters of classes 1, 10, 202, 216, 220, 230, 234 and 240, in no order.
MARKS = "\u0301\u0316\u0327\u0308\u0323\u0334\u031b\u0345\u05b0\u0360\u0300\u0328"
BASES = "aeiounrstlmcdpAEIOUáéöñçåÅ"
CORPORA = ("english", "european", "korean", "chinese", "combining", "vietnamese")
CHINESE = ("的一是不了人我在有他这中大来上国个到说们为子和你地出道也时年得就那要下以生会自着去之过家学对可"
           "她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又如前所本见经头面公同三"
           "已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明其种声全工己话儿者向情部正名定女"
           "问力机给等几很业最间新什打便位因重被走电四第门相次东政海口使教西再平真听世气信北少关并内加化由"
           "却代军产入先山五太水万市眼体别处总才场师书比住员九笑性通目华报立马命张活难神数件安表原车白应路")


def generate(kind, target_bytes, seed=20240611):
    rng = random.Random(seed)
    parts = []
    size = 0
    while size < target_bytes:
        if kind == "english":
            sentence = " ".join(rng.choice(ENGLISH) for _ in range(rng.randint(6, 18)))
            piece = sentence[0].upper() + sentence[1:] + rng.choice([". ", ". ", "? ", ", ", ".\n"])
        elif kind == "european":
            sentence = " ".join(rng.choice(EUROPEAN) for _ in range(rng.randint(5, 14)))
            piece = sentence[0].upper() + sentence[1:] + rng.choice([". ", ", ", "! ", ".\n"])
        elif kind == "korean":
            piece = " ".join(rng.choice(KOREAN) for _ in range(rng.randint(4, 10)))
            piece += rng.choice([". ", "? ", ".\n"])
        elif kind == "vietnamese":
            sentence = " ".join(rng.choice(VIETNAMESE) for _ in range(rng.randint(6, 18)))
            piece = sentence[0].upper() + sentence[1:] + rng.choice([". ", ", ", "? ", ".\n"])
        elif kind == "combining":
            def letter():
                return rng.choice(BASES) + "".join(rng.choice(MARKS) for _ in range(rng.randrange(4)))
            piece = " ".join("".join(letter() for _ in range(rng.randint(2, 7)))
                             for _ in range(rng.randint(3, 10)))
            piece += rng.choice([". ", ", ", "? ", ".\n"])
        else:
            piece = "".join(rng.choice(CHINESE) for _ in range(rng.randint(8, 30)))
            piece += rng.choice(["，", "。", "。\n"])
        parts.append(piece)
        size += len(piece.encode("utf-8"))
    return "".join(parts)


# --- measurement --------------------------------------------------------------

def cpu_times(fn, arg, repeat):
    """CPU seconds of this thread per call (best, median)."""
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.thread_time()
        result = fn(arg)
        times.append(time.thread_time() - start)
        del result
    return min(times), statistics.median(times)


def floor(text):
    return list(text.encode("utf-8"))


def timed_rounds(calls, repeat):
    """Median wall seconds, CPU seconds of the calling thread and of the whole
    process (every thread) of each call (name: (function, argument)), the calls
    of a round in turn."""
    walls = {name: [] for name in calls}
    cpus = {name: [] for name in calls}
    processes = {name: [] for name in calls}
    for _ in range(repeat):
        for name, (fn, arg) in calls.items():
            gc.collect()
            wall, cpu, process = time.perf_counter(), time.thread_time(), time.process_time()
            result = fn(arg)
            processes[name].append(time.process_time() - process)
            cpus[name].append(time.thread_time() - cpu)
            walls[name].append(time.perf_counter() - wall)
            del result
    return tuple({name: statistics.median(v) for name, v in times.items()}
                 for times in (walls, cpus, processes))


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# Run in a fresh child: prints the peak resident growth (bytes) of one step.
CHILD = """
import array, gc, sys
sys.path.insert(0, {bench_dir!r})
import bench_text, vak_orn_kernel as vok
text = bench_text.generate({kind!r}, {size})
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
gc.collect()
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # resets the peak resident set size
base = status("VmRSS")
if {words_file!r}:
    # The baseline: the same list, every equal int one shared object, read in
    # small chunks so that nothing else of size stays resident.
    words, shared = [], {{}}
    with open({words_file!r}, "rb") as f:
        while True:
            chunk = array.array("I")
            try:
                chunk.fromfile(f, 65536)
            except EOFError:
                pass
            if not chunk:
                break
            words.extend(shared.setdefault(w, w) for w in chunk)
else:
    words = vok.encode_text(text)
print(status("VmHWM") - base, len(words))
"""


def child_peak(kind, size, words_file=""):
    script = CHILD.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), kind=kind, size=size,
                          words_file=words_file)
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    peak, count = map(int, out.split())
    return peak, count


def memory_beyond_list(kind, size, words):
    with tempfile.NamedTemporaryFile(suffix=".u32") as f:
        array.array("I", words).tofile(f)
        f.flush()
        baseline, baseline_count = child_peak(kind, size, f.name)
    peak, count = child_peak(kind, size)
    assert count == baseline_count == len(words)
    return peak - baseline


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=10.0, help="corpus size in MB of UTF-8")
    parser.add_argument("--repeat", type=int, default=11, help="rounds (medians are printed)")
    parser.add_argument("--python", action="store_true", help="also time the pure-Python encoder")
    parser.add_argument("corpora", nargs="*", default=CORPORA)
    args = parser.parse_args()
    size = int(args.mb * 1_000_000)

    print(f"load average before: {load()}; {os.cpu_count()} processors; machine's two-core "
          f"scaling {machine_scaling():.2f}x; medians of {args.repeat} rounds")
    print(f"{'corpus':<11} {'MB':>6} {'words':>9} {'floor ms':>9} {'encode ms':>10} {'wall x':>7} "
          f"{'cpu x':>6} {'proc x':>6} {'len floor x':>11} {'extra B/B':>9}" +
          (f" {'python ms':>10} {'py/nat':>7}" if args.python else ""))
    for kind in args.corpora:
        text = generate(kind, size)
        utf8_size = len(text.encode("utf-8"))
        words = vok.encode_text(text)
        assert vok.encode_text(text[:20000]) == pure_python_encode(text[:20000])
        values = bytes(range(256)) * (len(words) // 256 + 1)
        values = values[:len(words)]
        wall, cpu, process = timed_rounds({
            "floor": (floor, text),
            "encode": (vok.encode_text, text),
            # The floor at the result's length: the text's UTF-8, then a list of
            # len(words) ints (256 different ones, as the result has few).
            "length floor": (lambda pair: (pair[0].encode("utf-8"), list(pair[1])), (text, values)),
        }, args.repeat)
        extra = memory_beyond_list(kind, size, words)
        ratio = wall["encode"] / wall["floor"]
        line = (f"{kind:<11} {utf8_size / 1e6:6.2f} {len(words):9d} {wall['floor'] * 1e3:9.1f} "
                f"{wall['encode'] * 1e3:10.1f} {ratio:6.2f}{'*' if ratio > 1.3 else ' '} "
                f"{cpu['encode'] / cpu['floor']:6.2f} {process['encode'] / process['floor']:6.2f} "
                f"{wall['length floor'] / wall['floor']:11.2f} "
                f"{extra / utf8_size:8.2f}{'*' if extra / utf8_size > 5 else ' '}")
        if args.python:
            python, _ = cpu_times(pure_python_encode, text, 1)
            line += f" {python * 1e3:10.0f} {python / cpu['encode']:7.1f}"
        print(line, flush=True)
        del words
    print("goals: wall x (encode_text / floor, wall time) <= 1.3, extra B/B <= 5; * marks a miss.")
    print("cpu x: the same in CPU time of the calling thread; proc x: in CPU time of all threads")
    print("(the encoder's thread too); len floor x: the floor at the result's length against the")
    print("floor in wall time (what any list of that many ints costs more).")

    # Canonical ordering of one long run of non-starters must stay linear: the
    # time per mark should not grow with the length of the run. (Wall time: a
    # long run is encoded on the second thread while the calling one waits.)
    classes = [chr(cp) for cp in (0x301, 0x316, 0x334, 0x345, 0x5B0, 0x1D165)]
    print(f"\n{'marks in one run':>17} {'encode ms':>10} {'ns/mark':>8} {'floor ms':>9} {'ratio':>6}")
    for count in (10_000, 100_000, 1_000_000, 4_000_000):
        text = "a" + "".join(classes[i % len(classes)] for i in range(count)) + "b"
        wall, _, _ = timed_rounds({"encode": (vok.encode_text, text), "floor": (floor, text)},
                                  args.repeat)
        native, base = wall["encode"], wall["floor"]
        print(f"{count:17d} {native * 1e3:10.2f} {native / count * 1e9:8.1f} {base * 1e3:9.2f} "
              f"{native / base:6.2f}")
    print(f"load average after: {load()}")


if __name__ == "__main__":
    main()
