#pragma once

#include <QString>

// The lowest port this user may listen on: 0 for root, otherwise where the
// system's protected ports end (1024 unless lowered).
int firstPortOpenToThisUser();

// A port a normal user can always take for the command server.
constexpr int kSuggestedTcpPort = 6200;

// What to do when the command server cannot listen on `port`: for a port
// kept for root, says so and names one to pick instead; empty otherwise.
QString listenAdvice(int port, int firstOpenPort = firstPortOpenToThisUser());

// The socket's `reason` for a failed listen on `port`, with the advice in
// brackets when there is any: what the window and px310-headless report.
QString withListenAdvice(const QString& reason, int port);
