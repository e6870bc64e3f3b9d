#include "cli/convert.hpp"

#include "cli/encode.hpp"
#include "cli/sink.hpp"
#include "select/select.hpp"
#include "sphere/sphere.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

namespace {

JobResult failed(std::string message, std::uint64_t bytes_read = 0) {
    return {Outcome::Failed, std::move(message), bytes_read};
}

}  // namespace

Plan plan_for(const Options& options) {
    if (options.from_stdin) {
        Plan plan;
        plan.jobs.push_back({"standard input", options.output_file.value_or(""), false});
        return plan;
    }
    const Encoder& encoder = encoder_for(options.format);
    Plan plan = make_plan(options.inputs, options.output_dir, encoder.extension);
    if (plan.jobs.size() == 1) {
        if (options.to_stdout) plan.jobs[0].output.clear();
        if (options.output_file) plan.jobs[0].output = *options.output_file;
    }
    return plan;
}

Result<ByteBuffer> convert_bytes(ByteView sph, const select::Request& selection, OutputFormat format) {
    const Encoder& encoder = encoder_for(format);
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    if (selection.everything()) {
        KR_ASSIGN_OR_RETURN(transcode::Audio audio, transcode::decode(file, {encoder.framing, nullptr, {}}));
        return encoder.encode(std::move(audio), file.header);
    }
    // Validation has made these integers, the first two at least 1.
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, file.header.int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t frames, file.header.int_("sample_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t rate, file.header.int_("sample_rate"));
    KR_ASSIGN_OR_RETURN(const select::Selection chosen,
                        select::resolve(selection, static_cast<std::uint64_t>(channels),
                                        static_cast<std::uint64_t>(frames), static_cast<std::uint64_t>(rate)));
    // A compressed stream is decoded no further than a span's last frame;
    // without a span, all of it is decoded and checked, as for the whole file.
    KR_ASSIGN_OR_RETURN(transcode::Audio audio,
                        transcode::decode(file, {encoder.framing, nullptr, chosen.window(selection.span.has_value())}));
    select::apply(audio, chosen);
    return encoder.encode(std::move(audio), file.header);
}

JobResult convert(const Job& job, const Options& options, OutputWriter& writer, std::size_t slot) {
    std::string error;
    std::optional<FileIdentity> identity;
    ByteBuffer sph;
    Sink sink = options.to_stdout ? Sink::standard_output() : Sink::file(writer, slot, job.output);

    if (options.from_stdin) {
        if (!read_standard_input(sph, standard_input_limit, identity, error)) return failed(std::move(error));
        if (auto refused = sink.refusal(identity, options.force)) return failed(std::move(*refused));
    } else {
        InputFile input;
        if (!input.open(job.input, error)) return failed(std::move(error));
        if (job.sniff && !input.has_sphere_magic()) return {Outcome::NotSphere, {}, 0};
        identity = input.identity();
        if (auto refused = sink.refusal(identity, options.force)) return failed(std::move(*refused));
        if (!input.read_all(sph, error)) return failed(std::move(error));
    }
    const std::uint64_t size = sph.size();

    auto converted = convert_bytes(sph, options.selection, options.format);
    sph = ByteBuffer();  // the input is not needed while the output is written
    if (!converted) return failed(std::move(converted.error().message), size);

    switch (sink.write(*converted, error)) {
        case SinkStatus::Written: return {Outcome::Converted, {}, size};
        case SinkStatus::Stopped: return {Outcome::Stopped, {}, size};
        case SinkStatus::BrokenPipe: return {Outcome::BrokenPipe, {}, size};
        case SinkStatus::Failed: break;
    }
    return failed(std::move(error), size);
}

}  // namespace korrin::cli
