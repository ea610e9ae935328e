// Arbitrary bytes as a fault list and as a control line. Checks that
// every refusal says why, and that what is accepted formats to a text that
// parses back to the same fault list.
#include "FuzzCheck.h"
#include "control/ControlCommand.h"

namespace {

void checkRoundTrip(const FaultSpec& spec) {
    const FaultSpecParse again = parseFaultSpec(formatFaultSpec(spec));
    require(again.ok(), "the canonical text parses");
    require(again.spec == spec, "the canonical text gives the same fault list back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));

    const FaultSpecParse spec = parseFaultSpec(QString::fromUtf8(bytes));
    require(spec.ok() == spec.failure.message.isEmpty(), "a refused fault list says why, an accepted one has no error");
    if (spec.ok())
        checkRoundTrip(spec.spec);

    const ControlParse line = parseControlLine(bytes);
    require(line.ok() == line.failure.message.isEmpty(), "a refused line says why, an accepted one has no error");
    if (line.ok() && line.command.kind == ControlCommand::Kind::Faults)
        checkRoundTrip(line.command.faults);
    if (line.ok() && line.command.kind == ControlCommand::Kind::Outage)
        require(line.command.outage.count() > 0, "an outage lasts");
    return 0;
}
