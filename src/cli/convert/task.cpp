#include "cli/convert/task.hpp"

#include <algorithm>
#include <optional>

#include "cli/convert/audio.hpp"
#include "cli/convert/encode.hpp"
#include "cli/sink/sink.hpp"
#include "format/format.hpp"
#include "input/standard_input.hpp"
#include "payload/payload.hpp"

namespace korrin::cli {

namespace {

// An output still to be made, with where it goes and what it takes.
struct Live {
    const Output* output;
    Sink sink;
    select::Selection chosen;
    bool done = false;
};

class TaskRun {
  public:
    TaskRun(const Task& task, TaskEnv& env) : task_(task), env_(env) {}

    std::uint64_t run();

  private:
    void fail(Live& live, const std::string& message) {
        env_.reporter.failure(live.output->name, message);
        finish(live, Outcome::Failed);
    }
    void finish(Live& live, Outcome outcome) {
        env_.outcomes[live.output->index] = outcome;
        live.done = true;
    }
    void fail_all(const std::string& message) {
        for (Live& live : live_)
            if (!live.done) fail(live, message);
    }
    bool any_left() const {
        return std::any_of(live_.begin(), live_.end(), [](const Live& live) { return !live.done; });
    }
    template <class F>
    void each(F&& f) {
        for (Live& live : live_)
            if (!live.done) f(live);
    }

    bool open_input();
    bool read_header();
    void resolve_outputs();
    bool read_payload(const payload::Window& window);
    void check_payload(const Audio& audio);
    void write_outputs(Audio& audio);
    std::uint64_t memory_needed() const;

    const Task& task_;
    TaskEnv& env_;
    std::vector<Live> live_;
    std::optional<input::FileIdentity> identity_;
    input::InputFile input_;
    ByteBuffer whole_;  // standard input
    ByteBuffer head_;   // the header region (and perhaps more)
    ByteBuffer data_;   // what was read of the payload
    ByteView payload_;
    sphere::SphereHeader header_;
    Result<format::Format> format_ = format::Format{};  // or why the payload cannot be read
    std::uint64_t payload_size_ = 0;                    // in the file
    bool compressed_ = false;
    bool as_found_ = false;  // some output takes a stored payload as found
    std::uint64_t bytes_read_ = 0;
};

bool TaskRun::open_input() {
    if (task_.from_stdin) {
        auto read = input::read_standard_input(input::standard_input_limit);
        if (!read) {
            fail_all(read.error().message);
            return false;
        }
        whole_ = std::move(read->bytes);
        identity_ = read->identity;
        bytes_read_ = whole_.size();
        return true;
    }
    if (auto opened = input_.open(task_.input); !opened) {
        fail_all(opened.error().message);
        return false;
    }
    if (task_.sniff && !input_.has_sphere_magic()) {
        each([&](Live& live) { finish(live, Outcome::NotSphere); });
        return false;
    }
    identity_ = input_.identity();
    return true;
}

bool TaskRun::read_header() {
    Result<sphere::SphereHeader> header = invalid("");
    if (task_.from_stdin) {
        header = sphere::read_header(whole_, whole_.size());
        if (header) payload_size_ = whole_.size() - header->header_size;
    } else if (task_.header_file) {
        input::InputFile file;
        if (auto opened = file.open(*task_.header_file); !opened) {
            header = opened.error();
        } else {
            header = file.read_header(nullptr, &head_);
            bytes_read_ += file.bytes_read();
        }
        if (!header)
            header.error().message = "header file " + task_.header_file->string() + ": " + header.error().message;
        payload_size_ = input_.size();
    } else {
        header = input_.read_header(nullptr, &head_);
        if (header) payload_size_ = input_.size() - header->header_size;
    }
    if (!header) {
        fail_all(header.error().message);
        return false;
    }
    header_ = std::move(*header);
    compressed_ = format::is_compressed(header_);
    return true;
}

void TaskRun::resolve_outputs() {
    // Validation has made these integers, the first two at least 1.
    const auto channels = static_cast<std::uint64_t>(*header_.int_("channel_count"));
    const auto rate = static_cast<std::uint64_t>(*header_.int_("sample_rate"));
    const auto declared = static_cast<std::uint64_t>(*header_.int_("sample_count"));
    each([&](const Live& live) { as_found_ |= live.output->payload_as_found && !compressed_; });
    format_ = format::admit(header_, payload_size_, format::Reader::Files,
                            as_found_ ? format::StoredSize::AsFound : format::StoredSize::Declared);
    // Every output's own checks come before the payload's refusal, which a
    // decode would give.
    const containers::Coding coding = format_ ? source_coding(*format_) : containers::Coding::Linear16;
    each([&](Live& live) {
        const Output& output = *live.output;
        const std::uint64_t frames = format_ && (output.payload_as_found || !as_found_) ? format_->frames : declared;
        auto chosen = resolve(output.pick, {channels, frames, rate});
        if (!chosen) return fail(live, chosen.error().message);
        live.chosen = *chosen;
        auto checked = check_output(output, output_coding(output, coding), chosen->channel ? 1 : channels, rate);
        if (!checked) fail(live, checked.error().message);
    });
    if (!format_) return fail_all(format_.error().message);
    if (!as_found_ && format_->frames != format_->declared_frames) {
        const auto first = std::find_if(live_.begin(), live_.end(), [](const Live& live) { return !live.done; });
        if (first != live_.end())
            env_.reporter.warning(first->output->name, cat("sample_count ", format_->declared_frames,
                                                           " counts the samples of every channel: read as ",
                                                           format_->frames, " frames of ", channels, " channels"));
    }
}

std::uint64_t TaskRun::memory_needed() const {
    bool flac = false;
    std::size_t outputs = 0;
    for (const Live& live : live_) {
        flac |= live.output->encoding == Encoding::Flac;
        outputs += live.done ? 0 : 1;
    }
    const std::uint64_t file_size = task_.header_file ? input_.size() + header_.header_size : input_.size();
    const Needs needs = conversion_needs(header_, file_size, flac ? OutputFormat::Flac : OutputFormat::Wav);
    // Outputs made one after another of one decode: one of them at a time
    // beside it, at most its size again.
    if (outputs < 2) return needs.memory;
    const std::uint64_t decoded = needs.memory - std::min(needs.memory, needs.input_bytes);
    return needs.memory > UINT64_MAX - decoded ? UINT64_MAX : needs.memory + decoded;
}

bool TaskRun::read_payload(const payload::Window& window) {
    if (task_.from_stdin) {
        payload_ = whole_.view().subspan(static_cast<std::size_t>(header_.header_size));
        return true;
    }
    // Of a stored payload, the window's bytes alone; of a stream, all.
    const std::uint64_t start = task_.header_file ? 0 : header_.header_size;
    std::uint64_t limit = UINT64_MAX;
    if (!task_.header_file && !as_found_ && !compressed_) {
        const Result<std::uint64_t> declared = header_.expected_data_bytes();
        if (declared && *declared <= UINT64_MAX - start) limit = start + *declared;
    }
    const std::optional<payload::ByteRange> part = payload::stored_range(*format_, window);
    Result<ByteBuffer> read =
        part ? input_.read_parts(limit, start, start + part->begin, start + part->end) : input_.read_all(limit);
    if (!read) {
        fail_all(read.error().message);
        return false;
    }
    bytes_read_ += input_.bytes_read();
    data_ = std::move(*read);
    payload_ = data_.view().subspan(static_cast<std::size_t>(task_.header_file ? 0 : header_.header_size));
    return true;
}

void TaskRun::check_payload(const Audio& audio) {
    if (!compressed_ && as_found_) {
        const Result<std::uint64_t> declared = header_.expected_data_bytes();
        bool warned = false;
        each([&](Live& live) {
            if (!live.output->payload_as_found) {
                if (declared && payload_size_ < *declared)
                    fail(live, cat("audio payload truncated: header declares ", *declared, " bytes but only ",
                                   payload_size_, " present"));
                return;
            }
            if (format_->frames == format_->declared_frames || warned) return;
            env_.reporter.warning(live.output->name,
                                  cat("sample_count reset from ", format_->declared_frames, " to ", format_->frames,
                                      " to match the file (", payload_size_, " bytes of samples)"));
            warned = true;
        });
    }
    if (!audio.checksum) return;
    const Result<void> checked = format::check_checksum(*format_, *audio.checksum);
    if (checked) return;
    const std::string& problem = checked.error().message;
    bool warned = false;
    each([&](Live& live) {
        if (live.output->checksum == ChecksumRule::Ignore) return;
        if (live.output->checksum == ChecksumRule::Verify) return fail(live, problem + live.output->checksum_hint);
        if (!warned) env_.reporter.warning(live.output->name, problem);
        warned = true;
    });
}

void TaskRun::write_outputs(Audio& audio) {
    std::size_t left = 0;
    each([&](Live&) { ++left; });
    const SourceHeader source{&header_, task_.from_stdin ? whole_.view().first(header_.header_size)
                                                         : head_.view().first(header_.header_size)};
    // The one output may take the buffer its samples are in.
    ByteBuffer* reusable = nullptr;
    if (left == 1)
        reusable = compressed_ || !audio.storage.empty() ? &audio.storage : task_.from_stdin ? &whole_ : &data_;
    for (Live& live : live_) {
        if (live.done) continue;
        auto bytes = encode_output(*live.output, audio, live.chosen, source, reusable);
        if (left == 1) {  // the input is not needed while the output is written
            data_ = ByteBuffer();
            whole_ = ByteBuffer();
            audio.storage = ByteBuffer();
        }
        if (!bytes) {
            fail(live, bytes.error().message);
            continue;
        }
        const WriteResult written = live.sink.write(*bytes);
        if (written) {
            finish(live, Outcome::Converted);
            continue;
        }
        switch (written.error().why) {
            case Unwritten::Why::Stopped: finish(live, Outcome::Stopped); return;
            case Unwritten::Why::BrokenPipe: finish(live, Outcome::BrokenPipe); continue;
            case Unwritten::Why::Exists:  // another process wrote it since the check
                if (env_.existing == Existing::Skip) {
                    finish(live, Outcome::Skipped);
                    continue;
                }
                break;
            case Unwritten::Why::Failed: break;
        }
        fail(live, written.error().message);
    }
}

std::uint64_t TaskRun::run() {
    live_.reserve(task_.outputs.size());
    for (const Output& output : task_.outputs)
        live_.push_back(
            {&output,
             output.path.empty() ? Sink::standard_output() : Sink::file(env_.writer, env_.slot, output.path),
             {}});
    if (!open_input()) return bytes_read_;
    // Decided before the work is done; each write decides again, race-free.
    each([&](Live& live) {
        if (env_.existing == Existing::Skip && live.sink.exists_apart_from(identity_))
            finish(live, Outcome::Skipped);
        else if (auto checked = live.sink.check(identity_, env_.existing == Existing::Replace); !checked)
            fail(live, checked.error().message);
    });
    if (!any_left() || !read_header()) return bytes_read_;
    resolve_outputs();
    if (!any_left()) return bytes_read_;

    // The frames the outputs need: all, unless every one takes a span.
    payload::Window window{UINT64_MAX, 0, true};
    bool spans_only = true;
    each([&](Live& live) {
        spans_only &= live.output->pick.has_span();
        window.begin = std::min(window.begin, live.chosen.begin);
        window.end = std::max(window.end, live.chosen.end);
    });
    if (!spans_only) window = {};

    const MemoryBudget::Admission admission = env_.budget.admit(memory_needed());
    if (!read_payload(window)) return bytes_read_;

    // A Shorten stream for one output is decoded with room for a container
    // header (WAV's, AU's, AIFF's) and a pad byte, to be wrapped in place.
    Framing framing;
    if (live_.size() == 1 && compressed_) framing = {64, 1, true};
    AudioSink sink(*format_, framing);
    auto read = payload::read(*format_, payload::Source::of(payload_), window, sink,
                              {.checksum = task_.verify_checksum_at_all && window.whole()});
    if (!read) {
        fail_all(read.error().message);
        return bytes_read_;
    }
    Audio audio = std::move(sink).finish(*read);
    check_payload(audio);
    write_outputs(audio);
    return bytes_read_;
}

}  // namespace

std::uint64_t run_task(const Task& task, TaskEnv& env) { return TaskRun(task, env).run(); }

}  // namespace korrin::cli
