"""Benchmark of encode_text on four generated ~10 MB corpora.

For each corpus, in one run: encode_text(s) against the floor
list(s.encode("utf-8")) and against a pure-Python encoder (unicodedata.normalize
plus a packing loop), and the peak memory of one encode_text call against the
output list plus three times the UTF-8 size.

    PYTHONPATH=build/dev python3 bench/bench_text.py [--mb 10] [--repeat 5]

Goals: encode_text at most 2x the floor on every corpus, at least 30x faster than
pure Python.
"""

import argparse
import gc
import random
import sys
import time
import unicodedata

import vak_orn_kernel as vok

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
            piece = " ".join(rng.choice(KOREAN) for _ in range(rng.randint(4, 10))) + rng.choice([". ", "? ", ".\n"])
        else:
            piece = "".join(rng.choice(CHINESE) for _ in range(rng.randint(8, 30))) + rng.choice(["，", "。", "。\n"])
        parts.append(piece)
        size += len(piece.encode("utf-8"))
    return "".join(parts)


# --- measurement --------------------------------------------------------------

def best_time(fn, arg, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn(arg)
        best = min(best, time.perf_counter() - start)
        del result
    return best


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not found")


def peak_memory_of_first_call(text):
    """Peak resident growth during one encode_text call on a fresh str (its
    UTF-8 cache included), and the size of the list it returns."""
    fresh = "".join([text[:1], text[1:]])
    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the peak resident set size
    base = rss_kib("VmRSS")
    words = vok.encode_text(fresh)
    peak = (rss_kib("VmHWM") - base) * 1024
    # The list and every distinct int object it holds that the interpreter does
    # not keep cached (the object allocator rounds each up to 16 bytes).
    ints = {id(w): w for w in words if w > 256}
    list_bytes = sys.getsizeof(words) + sum((sys.getsizeof(w) + 15) // 16 * 16 for w in ints.values())
    del words, fresh
    return peak, list_bytes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=10.0, help="corpus size in MB of UTF-8")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--python-repeat", type=int, default=1)
    args = parser.parse_args()

    rows = []
    for kind in ("english", "european", "korean", "chinese"):
        text = generate(kind, int(args.mb * 1_000_000))
        utf8_size = len(text.encode("utf-8"))
        assert vok.encode_text(text[:20000]) == pure_python_encode(text[:20000])
        peak, list_bytes = peak_memory_of_first_call(text)
        native = best_time(vok.encode_text, text, args.repeat)
        floor = best_time(lambda s: list(s.encode("utf-8")), text, args.repeat)
        python = best_time(pure_python_encode, text, args.python_repeat)
        words = len(vok.encode_text(text))
        rows.append((kind, utf8_size, len(text), words, native, floor, python, peak, list_bytes))

    print(f"{'corpus':<9} {'MB':>6} {'chars':>9} {'words':>9} {'native s':>9} {'floor s':>8} "
          f"{'python s':>9} {'/floor':>7} {'py/nat':>7} {'peak MB':>8} {'list MB':>8} "
          f"{'(peak-list)/utf8':>17}")
    for kind, size, chars, words, native, floor, python, peak, list_bytes in rows:
        print(f"{kind:<9} {size / 1e6:6.2f} {chars:9d} {words:9d} {native:9.4f} {floor:8.4f} "
              f"{python:9.3f} {native / floor:7.2f} {python / native:7.1f} {peak / 1e6:8.1f} "
              f"{list_bytes / 1e6:8.1f} {(peak - list_bytes) / size:17.2f}")
    print("goals: /floor <= 2.0, py/nat >= 30, (peak-list)/utf8 <= 3.0")

    # Canonical ordering of one long run of non-starters must stay linear: the
    # time per mark should not grow with the length of the run.
    classes = [chr(cp) for cp in (0x301, 0x316, 0x334, 0x345, 0x5B0, 0x1D165)]
    print(f"\n{'marks in one run':>17} {'native s':>9} {'ns/mark':>8} {'floor s':>8} {'/floor':>7}")
    for count in (10_000, 100_000, 1_000_000, 4_000_000):
        text = "a" + "".join(classes[i % len(classes)] for i in range(count)) + "b"
        native = best_time(vok.encode_text, text, args.repeat)
        floor = best_time(lambda s: list(s.encode("utf-8")), text, args.repeat)
        print(f"{count:17d} {native:9.4f} {native / count * 1e9:8.1f} {floor:8.4f} {native / floor:7.2f}")


if __name__ == "__main__":
    main()
