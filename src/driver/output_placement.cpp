#include "driver/output_placement.h"

#include "stream/byte_sink.h"

namespace {

// Where the stream's bytes were all checked, the bytes written must be those: another program
// writing the input in between would otherwise slip unchecked bytes into the output.
bool comparesWrittenStream(const DriverSettings& settings, const StreamSums& sums) {
    return settings.verify && sums.streamCrc32.has_value();
}

ResultCode commitOutput(OutputFile& file, const InputFile& input, const DriverSettings& settings) {
    file.flushToDisk = settings.flushToDisk;
    file.stamp = input.stamp;
    return commitOutputFile(file);
}

ResultCode writeOutput(const OutputContainer& output, const OutputFacts& facts, InputFile& input, RegionReader stream,
                       PngHeader& header, const OutputPlace& place, const StreamSums& sums) {
    OutputFile file;
    ResultCode result = createOutputFile(place.path, file, place.target);
    if (failed(result)) return result;
    uint32_t written = 0;
    if (comparesWrittenStream(place.settings, sums)) stream.watch = summingWatch(written);
    if (output.write) {
        result = output.write(facts, header, stream, file);
    } else {
        ByteSink sink = fileSink(file);
        result = output.writeHead(facts, file);
        if (!failed(result)) result = writeStream(stream, facts, sink);
        if (!failed(result)) result = output.writeTail(facts, file);
    }
    if (failed(result)) return result;  // the destructor discards the file
    if (comparesWrittenStream(place.settings, sums) && written != *sums.streamCrc32) return ResultCode::InputChanged;
    return commitOutput(file, input, place.settings);
}

}  // namespace

ResultCode putOutputInPlace(const OutputContainer& output, const OutputFacts& facts, InputFile& input, RegionReader stream,
                            PngHeader& header, const OutputPlace& place, const StreamSums& sums,
                            std::optional<EarlyCopy>& early) {
    if (early && finishEarlyCopy(*early, facts)) {
        const bool changed = !early->wroteCheckedBytes && early->streamCrc32 != *sums.streamCrc32;
        if (comparesWrittenStream(place.settings, sums) && changed) return ResultCode::InputChanged;
        return commitOutput(*early->file, input, place.settings);
    }
    early.reset();  // its temporary file goes before another is made
    return writeOutput(output, facts, input, stream, header, place, sums);
}
