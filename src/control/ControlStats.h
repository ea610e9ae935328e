#pragma once

#include "faults/FaultCounters.h"
#include "faults/FaultSpec.h"

#include <QJsonObject>
#include <QString>

// One scanner's stats as the control socket reports them:
// {"datagrams_sent": n, "faults": {"lost": n, ...}, "requests": {"1": n, ...},
//  "clients_connected": n, "current_faults": "loss=5%"}
QJsonObject statsJson(const FaultCounts& counts, const FaultSpec& current);

// An object as one line of compact JSON.
QString jsonLine(const QJsonObject& object);
