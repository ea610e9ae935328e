#include "log/LogCategories.h"

Q_LOGGING_CATEGORY(lcTcp, "px310.tcp", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStream, "px310.stream", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHello, "px310.hello", QtInfoMsg)
Q_LOGGING_CATEGORY(lcParams, "px310.params", QtInfoMsg)
Q_LOGGING_CATEGORY(lcProfile, "px310.profile", QtInfoMsg)

// Each line with its time, so that a log tells when a client's request came
// and a datagram left; QT_MESSAGE_PATTERN still wins.
void enableEmulatorLog() {
    QLoggingCategory::setFilterRules(QStringLiteral("px310.*.debug=true"));
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}"));
}
