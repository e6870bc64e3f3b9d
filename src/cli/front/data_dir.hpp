// Kaldi and ESPnet data directories in one pass: a wav.scp, whose lines
// name a recording's file or the sph2pipe or sph2wav call that converts it,
// and perhaps a segments file cutting utterances out of the recordings.
// The lines are parsed, never run; every file is read and decoded once,
// whatever the number of lines and segments that use it.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/front/sph2wav_options.hpp"
#include "cli/job.hpp"
#include "cli/run/runner.hpp"

namespace korrin::cli {

// One wav.scp line: a recording and how its samples come out of a file.
struct Recording {
    std::size_t line = 0;
    std::string id;
    std::string error;  // not empty: the line is not understood, and says why
    std::string path;
    std::optional<std::string> header_file;  // sph2pipe -h
    Pick pick;
    CodingChoice coding = CodingChoice::Linear;
    ChecksumRule checksum = ChecksumRule::Verify;
    std::string checksum_hint;
    bool payload_as_found = false;
    Encoding encoding = Encoding::Wav;  // what the line's call writes to the pipe (sph2pipe -f)
};

// One segments line: <segment-id> <recording-id> <start> <end> [<channel>].
struct SegmentLine {
    std::size_t line = 0;
    std::string id;
    std::string recording;
    Segment segment;
    std::string error;
};

// Splits a command as a POSIX shell splits a simple command: blanks
// separate words; single quotes, double quotes (where \ escapes $ ` " \)
// and a backslash quote. Anything else a shell would act on (another pipe,
// ; & < > ( ) $ ` * ? [ ] { } ~ #, an unterminated quote) is not
// understood: an error saying what.
Result<std::vector<std::string>> split_words(std::string_view command);

// The lines of a wav.scp and of a segments file, in order, blank ones
// skipped; a line that is not understood carries its error.
std::vector<Recording> parse_wav_scp(std::string_view text);
std::vector<SegmentLine> parse_segments(std::string_view text);

// What follows the id on a wav.scp line (`recording` keeps its line and id):
// a file, or a command ending in "|" that is one sph2pipe or sph2wav call,
// as parse_wav_scp reads it. korrin._native reads lhotse's command sources
// with it.
void parse_wav_scp_entry(std::string_view entry, Recording& recording);

// Whether an id can name an output file `id` + `extension`; not with a "/",
// a NUL or other control character, as "." or "..", empty, or as a name
// beyond 255 bytes.
Result<void> check_id(std::string_view id, std::string_view extension);

struct DataDirRequest {
    std::string wav_scp_name;   // for messages
    std::string segments_name;  // empty: no segments
    std::filesystem::path output_dir;
    Encoding encoding = Encoding::Wav;  // Wav, Raw (--pcm) or Flac
    flac::Settings flac;
};

// The plan of a data directory, and the entries of its new wav.scp (in the
// input's order): the id, the output's path, its Output::index.
struct DataDirPlan {
    Plan plan;
    struct Entry {
        std::string id;
        std::filesystem::path path;
        std::size_t output;
    };
    std::vector<Entry> index;
};

// Groups the outputs by the file they read: `file_key` names a file so that
// two paths of one file get one name (its device and inode, where it can be
// looked at).
DataDirPlan plan_data_dir(const std::vector<Recording>& recordings, const std::vector<SegmentLine>* segments,
                          const DataDirRequest& request,
                          const std::function<std::string(const std::string&)>& file_key);

// sph2wav --wav-scp: plans, converts, then writes OUTDIR/wav.scp. Returns
// the exit status.
int run_data_dir(const Options& options);

}  // namespace korrin::cli
