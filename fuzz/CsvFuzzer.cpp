// Arbitrary bytes as a CSV profile file, read with an arbitrary scale. Checks
// the line accounting, the limit on points, and that exporting what was read
// and reading it again gives the same points (X mirrored, within one unit).
#include "FuzzCheck.h"
#include "profile/CsvProfile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

namespace {

bool isBlank(const std::string& line) {
    for (char c : line)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f')
            return false;
    return true;
}

// Lines with anything but white space, up to the first zero byte.
long countPointLines(const std::string& text) {
    const std::string body = text.substr(0, text.find('\0'));
    long lines = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = body.find('\n', start);
        if (!isBlank(body.substr(start, end == std::string::npos ? std::string::npos : end - start)))
            ++lines;
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

void checkRoundTrip(const CsvImport& import, CsvScale scale) {
    const CsvImport again = parseCsvProfile(formatCsvProfile(import.points, scale), scale);
    require(again.ok() && again.droppedLines == 0, "exported profile reads back");
    require(again.points.size() == import.points.size(), "one line per exported point");
    for (size_t i = 0; i < import.points.size(); ++i) {
        require(std::abs(int(again.points[i].x) + int(import.points[i].x)) <= 1, "X mirrored on export");
        require(std::abs(int(again.points[i].z) - int(import.points[i].z)) <= 1, "Z kept on export");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CsvScale scale;
    scale.xemr = in.ConsumeIntegralInRange<int>(-1, 70000);
    scale.zdiap = in.ConsumeIntegralInRange<int>(-1, 70000);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const CsvImport import = parseCsvProfile(QByteArray(text.data(), int(text.size())), scale);
    require(import.ok() == (scale.xemr > 0 && scale.zdiap > 0), "refused exactly for a scale of 0 or below");
    if (!import.ok()) {
        require(import.points.empty(), "nothing loaded when refused");
        return 0;
    }
    require(import.points.size() <= size_t(kMaxProfilePoints), "at most 65535 points");
    require(long(import.points.size()) + import.droppedLines == countPointLines(text), "every line loaded or counted");
    require(import.saturatedValues >= 0 && import.saturatedValues <= 2 * long(import.points.size()),
            "at most two held values per point");
    checkRoundTrip(import, scale);
    return 0;
}
