#pragma once

#include "control/ControlCommand.h"
#include "control/ControlTarget.h"

// Runs one parsed control command on `target`; `answer` is called exactly
// once, as ControlTarget says. Every front end (the control socket, HTTP)
// runs its commands through here, so they answer alike.
void runControlCommand(ControlTarget& target, const ControlCommand& command, const ControlAnswer& answer);

// Whether a command only reads (stats, requests, truth); the others change the scanner.
bool controlCommandReads(ControlCommand::Kind kind);
