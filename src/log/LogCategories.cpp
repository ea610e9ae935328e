#include "log/LogCategories.h"

Q_LOGGING_CATEGORY(lcTcp, "px310.tcp", QtInfoMsg)
Q_LOGGING_CATEGORY(lcStream, "px310.stream", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHello, "px310.hello", QtInfoMsg)
Q_LOGGING_CATEGORY(lcParams, "px310.params", QtInfoMsg)
Q_LOGGING_CATEGORY(lcProfile, "px310.profile", QtInfoMsg)

void enableEmulatorLog() { QLoggingCategory::setFilterRules(QStringLiteral("px310.*.debug=true")); }
