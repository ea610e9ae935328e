#include "udp/StreamRoute.h"

#include "log/LogCategories.h"

#include <QHostAddress>

StreamRoute::StreamRoute(RecentInterfaceNets& interfaces) : interfaces_(interfaces) {}

void StreamRoute::setTarget(const StreamTarget& target, const std::vector<Ipv4Net>& allowed) {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = target;
    allowed_ = allowed;
    judged_.reset();  // judged again under the new rule
}

StreamTarget StreamRoute::target() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

std::optional<Endpoint> StreamRoute::endpoint(const Endpoint& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_.kind == StreamTarget::Kind::Record && !judge(record.address))
        return std::nullopt;
    QString refusal;
    return resolve(record, refusal);
}

// Under the lock; judges a record address afresh unless it is the one judged last, on these interfaces.
std::optional<Endpoint> StreamRoute::resolve(const Endpoint& record, QString& refusal) const {
    switch (target_.kind) {
    case StreamTarget::Kind::Loopback: return Endpoint{kLoopbackAddress, record.port};
    case StreamTarget::Kind::Fixed: return Endpoint{target_.fixed.address, target_.fixed.port ? target_.fixed.port : record.port};
    case StreamTarget::Kind::Record: break;
    }
    refusal = isJudged(record.address) ? refusal_ : refusalOf(record.address, allowed_, interfaces_.now());
    return refusal.isEmpty() ? std::optional<Endpoint>(record) : std::nullopt;
}

bool StreamRoute::isJudged(uint32_t address) const {
    return judged_ == address && judgedRevision_ == interfaces_.revision();
}

// Judged again when the record's address or the interfaces change. An address
// refused again on new interfaces is the same refusal: not counted twice.
bool StreamRoute::judge(uint32_t address) {
    if (isJudged(address))
        return refusal_.isEmpty();
    const bool refusedBefore = judged_ == address && !refusal_.isEmpty();
    judged_ = address;
    judgedRevision_ = interfaces_.revision();  // before the ask: a change meanwhile judges again
    refusal_ = refusalOf(address, allowed_, interfaces_.now());
    if (refusal_.isEmpty()) {
        if (refusedBefore)
            qCDebug(lcStream).noquote() << "udp: stream resumes to" << QHostAddress(address).toString()
                                        << "- a network of this machine holds it now";
        return true;
    }
    if (!refusedBefore) {
        ++refusals_;
        qCWarning(lcStream).noquote() << "udp: stream held:" << refusal_;
    }
    return false;
}

uint64_t StreamRoute::refusals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusals_;
}

QString StreamRoute::inForce(const Endpoint& record) const {
    std::lock_guard<std::mutex> lock(mutex_);
    QString refusal;
    const std::optional<Endpoint> endpoint = resolve(record, refusal);
    return endpoint ? endpointText(*endpoint) : QStringLiteral("held: ") + refusal;
}
