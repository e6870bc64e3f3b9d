// Planning a data directory: outputs per segment (or recording), grouped
// by the file they read; then the new wav.scp, written last.
#include "cli/front/data_dir.hpp"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include "cli/report/report.hpp"
#include "cli/sink/writer.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

std::string_view extension_of(Encoding encoding) {
    switch (encoding) {
        case Encoding::Raw: return ".pcm";
        case Encoding::Flac: return ".flac";
        default: break;
    }
    return ".wav";
}

// The coding of an output in `encoding` when the line asks for `coding`:
// raw PCM and FLAC hold linear samples; a WAV file holds what the line's
// call would have written (G.711 WAV without -p).
CodingChoice coding_for(Encoding encoding, CodingChoice coding) {
    if (encoding == Encoding::Wav) return coding;
    return coding == CodingChoice::Linear16 ? coding : CodingChoice::Linear;
}

class DirPlanner {
  public:
    DirPlanner(const DataDirRequest& request, const std::function<std::string(const std::string&)>& file_key)
        : request_(request), file_key_(file_key), extension_(extension_of(request.encoding)) {}

    void add_recordings(const std::vector<Recording>& recordings) {
        for (const Recording& recording : recordings) {
            const std::string where = cat(request_.wav_scp_name, " line ", recording.line);
            if (!recording.error.empty()) {
                failed_[recording.id] = where;
                fail(recording.id, where + ": " + recording.error);
                continue;
            }
            const auto [it, fresh] = recordings_.try_emplace(recording.id, &recording);
            if (!fresh) fail(recording.id, cat(where, ": the recording id repeats line ", it->second->line));
        }
    }

    // Without segments: each recording whole.
    void add_whole_recordings(const std::vector<Recording>& recordings) {
        for (const Recording& recording : recordings) {
            const auto it = recordings_.find(recording.id);
            if (it == recordings_.end() || it->second != &recording) continue;
            add_output(recording.id, recording, std::nullopt, cat(request_.wav_scp_name, " line ", recording.line));
        }
    }

    void add_segments(const std::vector<SegmentLine>& segments) {
        for (const SegmentLine& line : segments) {
            const std::string where = cat(request_.segments_name, " line ", line.line);
            if (!line.error.empty()) {
                fail(line.id, where + ": " + line.error);
                continue;
            }
            const auto it = recordings_.find(line.recording);
            if (it == recordings_.end()) {
                const auto failed = failed_.find(line.recording);
                fail(line.id, where + ": " +
                                  (failed != failed_.end()
                                       ? cat("recording ", line.recording, " is not understood (", failed->second, ")")
                                       : cat("recording ", line.recording, " is not in ", request_.wav_scp_name)));
                continue;
            }
            add_output(line.id, *it->second, line.segment, where);
        }
    }

    DataDirPlan finish() && { return std::move(result_); }

  private:
    void fail(const std::string& name, std::string message) {
        result_.plan.failures.push_back({name, std::move(message)});
    }

    void add_output(const std::string& id, const Recording& recording, const std::optional<Segment>& segment,
                    const std::string& where) {
        if (auto checked = check_id(id, extension_); !checked) return fail(id, where + ": " + checked.error().message);
        const auto [seen, fresh] = ids_.try_emplace(id, where);
        if (!fresh) return fail(id, where + ": the id repeats " + seen->second);

        Output output;
        // What fails at run time names its line and its file too.
        output.name = cat(id, ": ", where, ": ", recording.path);
        output.pick = recording.pick;
        output.pick.segment = segment;
        output.encoding = request_.encoding;
        output.coding = coding_for(request_.encoding, recording.coding);
        output.flac = request_.flac;
        output.path = request_.output_dir / "data" / (id + std::string(extension_));
        output.checksum = recording.checksum;
        output.checksum_hint = recording.checksum_hint;
        output.payload_as_found = recording.payload_as_found;
        output.index = result_.plan.outputs++;
        result_.index.push_back({id, output.path, output.index});

        const std::string key = file_key_(recording.path) + '\n' +
                                (recording.header_file ? file_key_(*recording.header_file) : std::string());
        auto [task, added] = tasks_.try_emplace(key, result_.plan.tasks.size());
        if (added) {
            Task& fresh_task = result_.plan.tasks.emplace_back();
            fresh_task.input = recording.path;
            fresh_task.name = recording.path;
            if (recording.header_file) fresh_task.header_file = *recording.header_file;
            fresh_task.verify_checksum_at_all = false;
        }
        Task& into = result_.plan.tasks[task->second];
        into.verify_checksum_at_all |= output.checksum != ChecksumRule::Ignore;
        into.outputs.push_back(std::move(output));
    }

    const DataDirRequest& request_;
    const std::function<std::string(const std::string&)>& file_key_;
    std::string_view extension_;
    std::map<std::string, const Recording*, std::less<>> recordings_;
    std::unordered_map<std::string, std::string> failed_;  // id -> where its line failed
    std::unordered_map<std::string, std::string> ids_;     // output id -> where it was given
    std::unordered_map<std::string, std::size_t> tasks_;   // file key -> task
    DataDirPlan result_;
};

// A file's device and inode where it can be looked at, else its path.
std::string identity_key(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return "path:" + path;
    return cat("file:", static_cast<std::uint64_t>(info.st_dev), ":", static_cast<std::uint64_t>(info.st_ino));
}

Result<std::string> read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int code = errno;
        return DecodeError{ErrorKind::Io,
                           "cannot open: " + input::describe(std::error_code(code, std::generic_category())), code};
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return DecodeError{ErrorKind::Io, "cannot read"};
    return std::move(text).str();
}

}  // namespace

DataDirPlan plan_data_dir(const std::vector<Recording>& recordings, const std::vector<SegmentLine>* segments,
                          const DataDirRequest& request,
                          const std::function<std::string(const std::string&)>& file_key) {
    DirPlanner planner(request, file_key);
    planner.add_recordings(recordings);
    if (segments != nullptr)
        planner.add_segments(*segments);
    else
        planner.add_whole_recordings(recordings);
    return std::move(planner).finish();
}

int run_data_dir(const Options& options) {
    Reporter early(true, false, Reporter::Clock::now());
    const Result<std::string> scp_text = read_text(options.wav_scp);
    if (!scp_text) {
        early.failure(options.wav_scp.string(), scp_text.error().message);
        return exit_failed;
    }
    Result<std::string> segments_text = std::string();
    if (!options.segments.empty() && !(segments_text = read_text(options.segments))) {
        early.failure(options.segments.string(), segments_text.error().message);
        return exit_failed;
    }
    const fs::path& out = *options.output;
    std::error_code ignored;
    if (fs::is_symlink(out / "data", ignored)) {
        early.failure((out / "data").string(), "is a symbolic link: outputs go into OUTDIR/data itself");
        return exit_failed;
    }

    DataDirRequest request;
    request.wav_scp_name = options.wav_scp.string();
    request.segments_name = options.segments.string();
    request.output_dir = out;
    request.encoding = options.format == OutputFormat::Pcm    ? Encoding::Raw
                       : options.format == OutputFormat::Flac ? Encoding::Flac
                                                              : Encoding::Wav;
    request.flac = options.flac_settings;
    const std::vector<Recording> recordings = parse_wav_scp(*scp_text);
    std::vector<SegmentLine> segments;
    const bool by_segments = !options.segments.empty();
    if (by_segments) segments = parse_segments(*segments_text);
    const DataDirPlan planned = plan_data_dir(recordings, by_segments ? &segments : nullptr, request, identity_key);

    RunSettings settings;
    settings.jobs = options.jobs;
    settings.max_memory = options.max_memory;
    settings.quiet = options.quiet;
    settings.existing = options.force ? Existing::Replace : options.skip_existing ? Existing::Skip : Existing::Refuse;
    // Every output, and the index, is made through OUTDIR's descriptor.
    settings.output_dir = out;
    RunResult result = run_plan(planned.plan, settings);
    if (!result.output_dir || !result.output_dir->folder("data", false)) return result.status;

    // The outputs that exist, in the input's order: made now, or before.
    OutputWriter writer(true, 1, Naming::Generated, result.output_dir);
    std::string index;
    for (const DataDirPlan::Entry& entry : planned.index) {
        const Outcome outcome = result.outcomes[entry.output];
        if (outcome == Outcome::Converted || outcome == Outcome::Skipped ||
            writer.look(entry.path).kind != Found::Kind::Missing)
            index.append(entry.id).append(" ").append(entry.path.string()).append("\n");
    }
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(index.data()), index.size());
    if (const WriteResult written = writer.write(0, out / "wav.scp", bytes); !written) {
        Reporter(false, false, Reporter::Clock::now()).failure((out / "wav.scp").string(), written.error().message);
        return exit_failed;
    }
    return result.status;
}

}  // namespace korrin::cli
