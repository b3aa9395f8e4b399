// The text core against ICU's canonical decomposition, on the same generated
// corpora in one run. The core does NFD, direct characters and byte pairs; ICU
// only normalises (to UTF-8 with normalizeUTF8, and UTF-16 to UTF-16 with
// normalize, its UTF-16 input converted before timing). Throughput is MB of
// UTF-8 input per second of the calling thread's CPU time (user and system,
// so page faults count), which other work on a shared machine does not inflate
// the way it inflates wall time.
//
// Usage: text_core_bench [--mb 10] [--repeat 9] corpus...   (built and run by
// bench/run_text_core_bench.sh, one process per corpus so that the first call
// really is the first in its process)
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "text/text_words.hpp"

namespace {

// --- deterministic corpora ----------------------------------------------------

struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    std::size_t between(std::size_t lo, std::size_t hi) { return lo + below(hi - lo + 1); }
};

std::vector<std::string> split(const char* words) {
    std::vector<std::string> out;
    std::string current;
    for (const char* p = words; *p; ++p) {
        if (*p == ' ') {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

// Splits UTF-8 text into its characters.
std::vector<std::string> characters(const char* text) {
    std::vector<std::string> out;
    for (const char* p = text; *p;) {
        const auto lead = static_cast<unsigned char>(*p);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        out.emplace_back(p, length);
        p += length;
    }
    return out;
}

const char* const kEnglish =
    "the of and to in a is that for it as was with be by on not he this are or his from at which "
    "but have an they you were her she there been one all we their has would when if so no what up "
    "out about into than them can only other new some could time these two may then do first any "
    "my now such like our over man me even most made after also did many before must through back "
    "years where much your way well down should because each just those people how too little "
    "state good very make world still own see men work long get here between both life being "
    "under never day same another know while last might us great old year off come since against "
    "go came right used take three";
const char* const kEuropean =
    "été déjà où très après français élève café naïve crème brûlée garçon façade Straße Mädchen "
    "schön über Grüße Bär Käse Öl Übung fünf größer niño año señor mañana corazón también canción "
    "pequeño żółć źdźbło łąka więcej ścieżka gęś søster Ærø blåbær æble øl smørrebrød kærlighed "
    "cœur œuvre sœur bœuf São Paulo ação coração não irmã the and une des die der la el de och på "
    "med Čeština Příliš žluťoučký kůň úpěl ďábelské ódy";
const char* const kKorean =
    "한국어 대한민국 서울 사람 시간 세계 경제 사회 문화 정부 교육 학생 학교 선생님 가족 친구 음식 "
    "생각 이야기 오늘 내일 어제 지금 여기 거기 우리 그리고 하지만 그래서 있다 없다 하다 되다 보다 "
    "알다 가다 오다 먹다 읽다 쓰다 말하다 아름다운 행복 사랑 평화 자연 바다 하늘 산 강 나무 꽃";
const char* const kChinese =
    "的一是不了人我在有他这中大来上国个到说们为子和你地出道也时年得就那要下以生会自着去之过家学对可"
    "她里后小么心多天而能好都然没日于起还发成事只作当想看文无开手十用主行方又如前所本见经头面公同三"
    "已老从动两长知民样现分将外但身些与高意进把法此实回二理美点月明其种声全工己话儿者向情部正名定女"
    "问力机给等几很业最间新什打便位因重被走电四第门相次东政海口使教西再平真听世气信北少关并内加化由"
    "却代军产入先山五太水万市眼体别处总才场师书比住员九笑性通目华报立马命张活难神数件安表原车白应"
    "路";
const char* const kVietnamese =
    "Tiếng Việt là ngôn ngữ của người Việt và là ngôn ngữ chính thức tại Việt Nam những được một "
    "không người trong để đã có này với các cho đến khi nhiều năm thời gian quốc gia dân tộc lịch "
    "sử văn hóa phát triển kinh tế xã hội chúng tôi họ mình ở đây đó sẽ cũng rất nữa thì mà nhưng "
    "hoặc vì nên nếu sau trước giữa trên dưới ngoài bên cạnh nhà trường học sinh giáo viên bệnh "
    "viện đường phố thành phố Hà Nội Hồ Chí Minh Huế Đà Nẵng sông núi biển trời đất nước lửa gió";
// Non-starters of several classes (1, 10, 202, 216, 220, 230, 234, 240), given
// in no particular order so that most runs need reordering.
const char* const kMarks =
    "\u0301\u0316\u0327\u0308\u0323\u0334\u031B\u0345\u05B0\u0360\u0300\u0328";
const char* const kBases = "aeiounrstlmcdpAEIOUáéöñçåÅ";

std::string generate(const std::string& kind, std::size_t target_bytes) {
    Rng rng{20240611};
    std::string out;
    out.reserve(target_bytes + 256);
    const char* list = kind == "english"      ? kEnglish
                       : kind == "european"   ? kEuropean
                       : kind == "korean"     ? kKorean
                       : kind == "vietnamese" ? kVietnamese
                                              : nullptr;
    const std::vector<std::string> words = list ? split(list) : std::vector<std::string>{};
    const std::vector<std::string> hanzi = characters(kChinese);
    const std::vector<std::string> marks = characters(kMarks);
    const std::vector<std::string> bases = characters(kBases);
    const char* const endings[] = {". ", ", ", "? ", ".\n"};
    while (out.size() < target_bytes) {
        if (kind == "chinese") {
            for (std::size_t k = rng.between(8, 30); k > 0; --k)
                out += hanzi[rng.below(hanzi.size())];
            out += rng.below(3) == 0 ? "。\n" : "，";
        } else if (kind == "combining") {
            for (std::size_t w = rng.between(3, 10); w > 0; --w) {
                for (std::size_t k = rng.between(2, 7); k > 0; --k) {
                    out += bases[rng.below(bases.size())];
                    for (std::size_t m = rng.below(4); m > 0; --m)
                        out += marks[rng.below(marks.size())];
                }
                out += ' ';
            }
            out += endings[rng.below(4)];
        } else {
            const std::size_t count = kind == "korean" ? rng.between(4, 10) : rng.between(6, 18);
            for (std::size_t k = 0; k < count; ++k) {
                if (k) out += ' ';
                out += words[rng.below(words.size())];
            }
            out += endings[rng.below(4)];
        }
    }
    return out;
}

// --- a plain packer of NFD text, to check that both sides agree --------------

bool is_direct(std::uint32_t cp) {
    return cp == 0x09 || cp == 0x0A || cp == 0x0D || (cp >= 0x20 && cp <= 0x7E) || cp == 0xC6 ||
           cp == 0xE6 || cp == 0xD8 || cp == 0xF8 || cp == 0xDF || cp == 0x152 || cp == 0x153;
}

std::vector<std::uint32_t> pack_nfd(const std::string& nfd) {
    std::vector<std::uint32_t> words;
    std::vector<std::uint8_t> run;
    auto close_run = [&] {
        for (std::size_t i = 0; i < run.size(); i += 2)
            words.push_back(0x40000u + run[i] * 256u + (i + 1 < run.size() ? run[i + 1] : 0u));
        run.clear();
    };
    for (std::size_t i = 0; i < nfd.size();) {
        const auto lead = static_cast<unsigned char>(nfd[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (nfd[i + k] & 0x3F);
        if (is_direct(cp)) {
            close_run();
            words.push_back(cp);
        } else {
            run.insert(run.end(), nfd.begin() + i, nfd.begin() + i + length);
        }
        i += length;
    }
    close_run();
    return words;
}

// --- timing ---------------------------------------------------------------------

struct Timing {
    double first;
    double best;
    double median;
};

double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Call>
Timing measure(int repeat, Call&& call) {
    std::vector<double> seconds;
    for (int r = 0; r <= repeat; ++r) {
        const double start = thread_seconds();
        call();
        seconds.push_back(thread_seconds() - start);
    }
    const double first = seconds.front();
    seconds.erase(seconds.begin());
    std::sort(seconds.begin(), seconds.end());
    return {first, seconds.front(), seconds[seconds.size() / 2]};
}

std::vector<std::uint32_t> core_words(const std::string& text) {
    const vak::WordVec words =
        vak::text::encode_text(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return {words.begin(), words.end()};
}

// What the module does: the output units, sized once, that the list is built from.
std::size_t core_call(const std::string& text) {
    return vak::text::encode_text_units(reinterpret_cast<const std::uint8_t*>(text.data()),
                                        text.size())
        .size();
}

}  // namespace

int main(int argc, char** argv) {
    double mb = 10;
    int repeat = 9;
    std::vector<std::string> kinds;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--mb") && i + 1 < argc) {
            mb = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else {
            kinds.push_back(argv[i]);
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "ICU NFD instance: %s\n", u_errorName(status));
        return 1;
    }
    int failures = 0;
    for (const std::string& kind : kinds) {
        const std::string text = generate(kind, static_cast<std::size_t>(mb * 1e6));
        const double megabytes = static_cast<double>(text.size()) / 1e6;

        // First calls in this process, core first, before anything else touches memory.
        std::size_t words = 0;
        const Timing core = measure(repeat, [&] { words = core_call(text); });

        std::string icu_utf8;
        const Timing icu8 = measure(repeat, [&] {
            icu_utf8.clear();
            icu::StringByteSink<std::string> sink(&icu_utf8);
            nfd->normalizeUTF8(
                0, icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())), sink,
                nullptr, status);
        });
        const icu::UnicodeString utf16 = icu::UnicodeString::fromUTF8(
            icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
        icu::UnicodeString icu_utf16;
        const Timing icu16 = measure(repeat, [&] { nfd->normalize(utf16, icu_utf16, status); });
        if (U_FAILURE(status)) {
            std::fprintf(stderr, "ICU normalisation: %s\n", u_errorName(status));
            return 1;
        }

        // Both sides must describe the same text.
        std::string from_utf16;
        icu_utf16.toUTF8String(from_utf16);
        const bool agree = from_utf16 == icu_utf8 && pack_nfd(icu_utf8) == core_words(text);
        failures += !agree;

        // Against the faster of ICU's two ways, best against best and median against median.
        const double icu_best = std::min(icu8.best, icu16.best);
        const double icu_median = std::min(icu8.median, icu16.median);
        std::printf(
            "%-10s %6.2f %9zu | %6.0f %6.0f %6.0f | %6.0f %6.0f | %6.0f %6.0f | %5.2fx %5.2fx %s\n",
            kind.c_str(), megabytes, words, megabytes / core.first, megabytes / core.best,
            megabytes / core.median, megabytes / icu8.best, megabytes / icu8.median,
            megabytes / icu16.best, megabytes / icu16.median, icu_best / core.best,
            icu_median / core.median, agree ? "" : "MISMATCH");
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
