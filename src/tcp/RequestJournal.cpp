#include "tcp/RequestJournal.h"

#include "params/UserParamsFields.h"
#include "tcp/CommandTable.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <cstring>

namespace {

constexpr int kDigestDigits = 16;

}  // namespace

void RequestJournal::record(JournalEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (capacity_ == 0)
        return;
    if (entries_.size() == capacity_) {
        entries_.pop_front();
        ++forgotten_;
    }
    entries_.push_back(std::move(entry));
}

std::vector<JournalEntry> RequestJournal::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

uint64_t RequestJournal::forgotten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forgotten_;
}

JournalEntry journalEntry(const Request& request, const QString& client, const UserParamsStore& current) {
    JournalEntry entry;
    entry.timeMs = QDateTime::currentMSecsSinceEpoch();
    entry.client = client;
    entry.header = request.header;
    if (!request.payload.isEmpty())
        entry.digest = QString::fromLatin1(
            QCryptographicHash::hash(request.payload, QCryptographicHash::Sha256).toHex().left(kDigestDigits));
    const CommandInfo* command = findCommand(request.header.command);
    if (command && command->action == CommandAction::WriteParams && request.payload.size() == kUserParamsSize) {
        USER_PARAMS written;
        std::memcpy(&written, request.payload.constData(), kUserParamsSize);
        entry.changed = changedFields(current.snapshot(), written);
    }
    return entry;
}

QStringList changedFields(const USER_PARAMS& before, const USER_PARAMS& after) {
    QStringList changed;
    for (const UserParamsField& field : kUserParamsFields) {
        const QString old = fieldValueText(before, field), now = fieldValueText(after, field);
        if (old != now)
            changed << QStringLiteral("%1: %2 -> %3").arg(QLatin1String(field.name), old, now);
    }
    return changed;
}
