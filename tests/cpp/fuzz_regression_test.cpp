// Replays every input kept under fuzz/regressions/ (crashes and hostile
// inputs found by fuzzing, and hand-made inputs at the format's limits)
// through the core, and checks the outcome named for it in
// fuzz/regressions/MANIFEST. Each line there is
//
//   <target> TAB <file, relative to fuzz/regressions> TAB <expected>
//
// where <expected> is "ok" or the exact error message. The targets:
// "sphere" (transcode and decode_pcm, which must agree), "shorten"
// (shorten_to_pcm) and "g711" (g711_expand with mu-law and A-law).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/codecs.hpp"
#include "transcode/transcode.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = fs::path(KORRIN_SOURCE_DIR) / "fuzz" / "regressions";

struct Case {
    std::string target;
    std::string file;
    std::string expected;
    int line = 0;
};

std::vector<Case> read_manifest() {
    std::vector<Case> cases;
    std::ifstream in(kRegressions / "MANIFEST");
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (text.empty() || text[0] == '#') continue;
        Case c;
        c.line = number;
        std::istringstream fields(text);
        std::getline(fields, c.target, '\t');
        std::getline(fields, c.file, '\t');
        std::getline(fields, c.expected);
        cases.push_back(c);
    }
    return cases;
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
std::string outcome(const korrin::Result<T>& result) {
    return result.has_value() ? std::string("ok") : result.error().message;
}

TEST(FuzzRegression, ManifestListsEveryKeptInputOnce) {
    const auto cases = read_manifest();
    ASSERT_FALSE(cases.empty()) << "no regression inputs listed in " << kRegressions / "MANIFEST";
    std::set<std::string> listed;
    for (const auto& c : cases) {
        EXPECT_TRUE(listed.insert(c.file).second) << "listed twice: " << c.file;
        EXPECT_TRUE(c.target == "sphere" || c.target == "shorten" || c.target == "g711")
            << "MANIFEST line " << c.line << ": unknown target " << c.target;
        EXPECT_FALSE(c.expected.empty()) << "MANIFEST line " << c.line << ": no expected outcome";
    }
    for (const auto& entry : fs::recursive_directory_iterator(kRegressions)) {
        if (!entry.is_regular_file() || entry.path().filename() == "MANIFEST") continue;
        const std::string relative = fs::relative(entry.path(), kRegressions).generic_string();
        EXPECT_TRUE(listed.count(relative)) << relative << " is kept but not listed in MANIFEST";
    }
}

TEST(FuzzRegression, EveryInputGivesItsExpectedOutcome) {
    for (const auto& c : read_manifest()) {
        SCOPED_TRACE("MANIFEST line " + std::to_string(c.line) + ": " + c.file);
        const fs::path path = kRegressions / c.file;
        ASSERT_TRUE(fs::is_regular_file(path));
        const auto bytes = read_file(path);
        const korrin::ByteView input(bytes);
        if (c.target == "sphere") {
            const auto pcm = korrin::transcode::decode_pcm(input);
            const auto wav = korrin::transcode::transcode(input);
            EXPECT_EQ(outcome(wav), c.expected);
            // decode_pcm shares every check but the WAV limits.
            if (!pcm.has_value() || c.expected == "ok") {
                EXPECT_EQ(outcome(pcm), c.expected);
            }
            if (pcm.has_value() && wav.has_value()) {
                EXPECT_EQ(wav->size(), 44 + pcm->size() + pcm->size() % 2);
            }
        } else if (c.target == "shorten") {
            const auto pcm = korrin::codecs::shorten_to_pcm(input);
            EXPECT_EQ(outcome(pcm), c.expected);
            if (pcm.has_value()) {
                EXPECT_EQ(pcm->pcm_bytes.size() % (2 * pcm->channel_count), 0u);
            }
        } else if (c.target == "g711") {
            for (bool alaw : {false, true}) {
                const auto pcm = korrin::codecs::g711_expand(input, alaw);
                EXPECT_EQ(outcome(pcm), c.expected);
                if (pcm.has_value()) {
                    EXPECT_EQ(pcm->size(), 2 * bytes.size());
                }
            }
        }
    }
}

}  // namespace
