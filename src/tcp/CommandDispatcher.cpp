#include "tcp/CommandDispatcher.h"

#include "tcp/CommandTable.h"
#include "tcp/Replies.h"

#include <cstring>

CommandDispatcher::CommandDispatcher(ScannerState& state, const ProfileFeed& profile, const CameraPicture* picture,
                                     MeasurementSchedule& schedule)
    : state_(state),
      params_(state.record()),
      profile_(profile),
      picture_(picture),
      hello_(state.identity()),
      schedule_(schedule) {}

void CommandDispatcher::dispatch(const Request& request, CommandSink& sink) {
    const CommandInfo* info = findCommand(request.header.command);
    if (!info) {
        sink.log(QStringLiteral("default"));
        return;
    }
    if (*info->name)
        sink.log(QString::fromLatin1(info->name));

    switch (info->action) {
    case CommandAction::LogOnly:
        break;
    case CommandAction::GetResult:
        getResult(sink);
        break;
    case CommandAction::GetImage:
        ++imageCounter_;
        chunkCounter_ = 0;
        break;
    case CommandAction::GetImageBuffer:
        getImageBuffer(request.header, sink);
        break;
    case CommandAction::ReadParams:
        sink.sendReply(paramsImage(params_.snapshot()), "TCP: cannot write params");
        break;
    case CommandAction::WriteParams:
        writeParams(request.payload, sink);
        break;
    case CommandAction::FlushParams:
        sink.flushParamsRequested();
        sink.sendReply(QByteArrayLiteral("OK"), nullptr);
        break;
    case CommandAction::ClientFinished:
        sink.clientFinished();
        break;
    case CommandAction::GetExtents:
        sink.sendReply(extentsBlock(), "TCP: cannot write extends");
        sink.log(QString::number(kExtentsSize));
        break;
    case CommandAction::ReadFactoryParams:
        sink.sendReply(factoryParamsImage(hello_), nullptr);
        break;
    case CommandAction::WriteFactoryParams:
        writeFactoryParams(request.payload, sink);
        break;
    }
}

MeasurementSchedule::Clock::duration CommandDispatcher::holdBefore(const REQUEST_HEADER& header) {
    const CommandInfo* info = findCommand(header.command);
    if (!info || info->action != CommandAction::GetResult)
        return MeasurementSchedule::Clock::duration::zero();
    schedule_.setFrequency(params_.read([](const USER_PARAMS& p) { return p.udp_frequency_u16; }));
    return schedule_.openResult();
}

void CommandDispatcher::getResult(CommandSink& sink) {
    const USER_PARAMS params = params_.snapshot();
    schedule_.setFrequency(params.udp_frequency_u16);
    const std::optional<MeasurementSchedule::ResultSlot> slot = schedule_.takeResultSlot();
    if (!slot)
        return;  // the server is stopping

    const TrailerSettings trailer = state_.trailer();
    PacketFields fields;
    fields.measurementCounter = slot->measurementCounter;
    fields.packetCounter = slot->packetCounter;
    fields.extSyncSignal = params.ext_sync_signal_u16;
    fields.serial = hello_.serialBytes();
    fields.xemr = trailer.xemr;
    fields.zdiap = trailer.zdiap;
    fields.stepdirForward = trailer.stepdirForward ? 1 : 0;
    buildResultPacket(profile_, fields, params.invertXZ, trailer.noise, scratch_, result_);
    sink.sendReply(result_, "TCP: cannot write result");
}

void CommandDispatcher::getImageBuffer(const REQUEST_HEADER& header, CommandSink& sink) {
    sink.sendReply(pictureChunk(picture_, imageCounter_, chunkCounter_, header.offset, header.length),
                   "TCP: cannot write image buffer");
    ++chunkCounter_;
}

void CommandDispatcher::writeParams(const QByteArray& payload, CommandSink& sink) {
    if (payload.size() != kUserParamsSize) {
        sink.log(QStringLiteral("TCP: error: invalid packet size"));
        return;
    }
    USER_PARAMS params;
    std::memcpy(&params, payload.constData(), kUserParamsSize);
    params_.replace(params);
    state_.followRecordRate();
    sink.userParamsUpdated();
    sink.sendReply(QByteArrayLiteral("OK"), nullptr);
}

void CommandDispatcher::writeFactoryParams(const QByteArray& body, CommandSink& sink) {
    // The image ends the request body; any payload before it is not used.
    const QByteArray image = body.right(kFactoryImageSize);
    // Only a whole prefix is applied: a short image would leave the block half old, half new.
    if (image.size() < kFactoryWritableSize) {
        sink.log(QStringLiteral("TCP: error: factory params image too short"));
        return;
    }
    hello_.writeFactoryPrefix(reinterpret_cast<const uint8_t*>(image.constData()), kFactoryWritableSize);
}
