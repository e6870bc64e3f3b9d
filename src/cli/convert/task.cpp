#include "cli/convert/task.hpp"

#include <algorithm>
#include <optional>

#include "cli/convert/encode.hpp"
#include "cli/report/report.hpp"
#include "cli/sink/sink.hpp"
#include "codecs/codecs.hpp"
#include "common/checked.hpp"
#include "select/select.hpp"
#include "sphere/sphere.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

namespace {

JobResult failed(std::string message, std::uint64_t bytes_read = 0) {
    return {Outcome::Failed, std::move(message), bytes_read};
}

// The frames a conversion needs: of a span, its frames; otherwise all.
// Nothing is cut for a request the conversion will refuse.
codecs::FrameWindow frames_needed(const sphere::SphereHeader& header, const select::Request& request) {
    if (!request.span) return {};
    const auto channels = header.int_("channel_count");
    const auto frames = header.int_("sample_count");
    const auto rate = header.int_("sample_rate");
    if (!channels || !frames || !rate || *channels < 1 || *frames < 0 || *rate < 1) return {};
    const auto chosen = select::resolve(request, static_cast<std::uint64_t>(*channels),
                                        static_cast<std::uint64_t>(*frames), static_cast<std::uint64_t>(*rate));
    if (!chosen) return {};
    return chosen->window(true);
}

}  // namespace

Plan plan_for(const Options& options) {
    if (options.from_stdin) {
        Plan plan;
        plan.jobs.push_back({"standard input", options.output_file.value_or(""), false});
        return plan;
    }
    const Encoder& encoder = encoder_for(options.format);
    Plan plan = make_plan(options.inputs, options.output_dir, encoder.extension, options.keep_extension);
    if (plan.jobs.size() == 1) {
        if (options.to_stdout) plan.jobs[0].output.clear();
        if (options.output_file) plan.jobs[0].output = *options.output_file;
    }
    return plan;
}

transcode::Options core_options(const Options& options) {
    transcode::Options core;
    core.decode.older_shorten = true;
    core.verify_checksum = options.checksum;
    core.checksum_hint = " (use --no-checksum to convert it anyway)";
    return core;
}

Result<ByteBuffer> convert_bytes(ByteView sph, const Options& options) {
    const Encoder& encoder = encoder_for(options.format);
    const select::Request& selection = options.selection;
    const transcode::Options core = core_options(options);
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    const ByteView header_region = sph.first(static_cast<std::size_t>(file.header.header_size));
    // Validation has made these integers, the first two at least 1.
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, file.header.int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t rate, file.header.int_("sample_rate"));
    if (selection.everything()) {
        KR_TRY(encoder.check(static_cast<std::uint64_t>(channels), static_cast<std::uint64_t>(rate)));
        KR_ASSIGN_OR_RETURN(transcode::Audio audio, transcode::decode(file, {encoder.framing, nullptr, {}, core}));
        return encoder.encode(std::move(audio), header_region, options);
    }
    KR_ASSIGN_OR_RETURN(const std::int64_t frames, file.header.int_("sample_count"));
    KR_ASSIGN_OR_RETURN(const select::Selection chosen,
                        select::resolve(selection, static_cast<std::uint64_t>(channels),
                                        static_cast<std::uint64_t>(frames), static_cast<std::uint64_t>(rate)));
    KR_TRY(encoder.check(chosen.channel ? 1 : static_cast<std::uint64_t>(channels), static_cast<std::uint64_t>(rate)));
    // A compressed stream is decoded no further than a span's last frame;
    // without a span, all of it is decoded and checked (its checksum too),
    // as for the whole file.
    const codecs::FrameWindow window = selection.span ? chosen.window(true) : codecs::FrameWindow{};
    KR_ASSIGN_OR_RETURN(transcode::Audio audio, transcode::decode(file, {encoder.framing, nullptr, window, core}));
    select::apply(audio, chosen);
    return encoder.encode(std::move(audio), header_region, options);
}

JobResult convert(const Job& job, const Options& options, OutputWriter& writer, std::size_t slot,
                  MemoryBudget& budget) {
    std::string error;
    std::optional<FileIdentity> identity;
    Sink sink = options.to_stdout ? Sink::standard_output() : Sink::file(writer, slot, job.output);
    // Decided before the work is done; the write decides again, race-free.
    const auto existing = [&]() -> std::optional<JobResult> {
        if (options.skip_existing && sink.exists_apart_from(identity)) return JobResult{Outcome::Skipped, {}, 0};
        if (auto refused = sink.refusal(identity, options.force)) return failed(std::move(*refused));
        return std::nullopt;
    };
    const auto convert_and_write = [&](ByteBuffer sph, std::uint64_t size) -> JobResult {
        auto converted = convert_bytes(sph, options);
        sph = ByteBuffer();  // the input is not needed while the output is written
        if (!converted) return failed(std::move(converted.error().message), size);
        switch (sink.write(*converted, error)) {
            case SinkStatus::Written: return {Outcome::Converted, {}, size};
            case SinkStatus::Stopped: return {Outcome::Stopped, {}, size};
            case SinkStatus::BrokenPipe: return {Outcome::BrokenPipe, {}, size};
            // Another process wrote it since the check above.
            case SinkStatus::Exists:
                if (options.skip_existing) return {Outcome::Skipped, {}, size};
                break;
            case SinkStatus::Failed: break;
        }
        return failed(std::move(error), size);
    };

    ByteBuffer sph;
    if (options.from_stdin) {
        // The one job of its run: nothing to share memory with.
        if (!read_standard_input(sph, standard_input_limit, identity, error)) return failed(std::move(error));
        if (auto refused = existing()) return std::move(*refused);
        const std::uint64_t size = sph.size();
        return convert_and_write(std::move(sph), size);
    }

    InputFile input;
    if (auto opened = input.open(job.input); !opened) return failed(std::move(opened.error().message));
    if (job.sniff && !input.has_sphere_magic()) return {Outcome::NotSphere, {}, 0};
    identity = input.identity();
    if (auto refused = existing()) return std::move(*refused);
    // The header alone first: a file that is not SPHERE costs no more to
    // turn down, and one that is says how much memory it will need.
    auto header = input.read_header();
    if (!header) return failed(std::move(header.error().message));
    const Needs needs = conversion_needs(*header, input.size(), options.format);
    const MemoryBudget::Admission admission = budget.admit(needs.memory);
    auto read = input.read_for(*header, frames_needed(*header, options.selection), needs.input_bytes);
    if (!read) return failed(std::move(read.error().message));
    sph = std::move(*read);
    return convert_and_write(std::move(sph), input.bytes_read());
}

}  // namespace korrin::cli
