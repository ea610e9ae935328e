#include "udp/StreamRoute.h"

#include "log/LogCategories.h"

StreamRoute::StreamRoute(Interfaces interfaces) : interfaces_(std::move(interfaces)) {}

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

// Under the lock; judges a record address afresh unless it is the one judged last.
std::optional<Endpoint> StreamRoute::resolve(const Endpoint& record, QString& refusal) const {
    switch (target_.kind) {
    case StreamTarget::Kind::Loopback: return Endpoint{kLoopbackAddress, record.port};
    case StreamTarget::Kind::Fixed: return Endpoint{target_.fixed.address, target_.fixed.port ? target_.fixed.port : record.port};
    case StreamTarget::Kind::Record: break;
    }
    refusal = judged_ == record.address ? refusal_ : refusalOf(record.address, allowed_, interfaces_());
    return refusal.isEmpty() ? std::optional<Endpoint>(record) : std::nullopt;
}

// The machine's interfaces are asked only when the record's address changes.
bool StreamRoute::judge(uint32_t address) {
    if (judged_ == address)
        return refusal_.isEmpty();
    judged_ = address;
    refusal_ = refusalOf(address, allowed_, interfaces_());
    if (refusal_.isEmpty())
        return true;
    ++refusals_;
    qCWarning(lcStream).noquote() << "udp: stream held:" << refusal_;
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
