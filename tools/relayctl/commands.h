// relayctl's commands. Each takes its checked command line and returns the
// exit status: kExitSuccess, kExitFailure with one line on stderr saying
// why, or kExitUsage for arguments it cannot use.
#pragma once

#include <string>

#include "client/rezezura_client.h"
#include "tools/relayctl/command_line.h"
#include "tools/relayctl/failure_messages.h"

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kLargestFrame = 1518;  // Ethernet with an 802.1Q tag, without the checksum

// Opens the device and attaches to the adapter; on failure says why and
// returns nothing.
rezezura_client *OpenAttached(const std::string &adapter);
// One line on stderr for a failed request; kExitFailure.
int Failed(const std::string &what, RelayOperation operation, const rezezura_result &result);

int ReadCommand(const CommandLine &line);
int WriteCommand(const CommandLine &line);
int QueryCommand(const CommandLine &line);
int SetCommand(const CommandLine &line);
int WaitCommand(const CommandLine &line);
int ListCommand(const CommandLine &line);
int CaptureCommand(const CommandLine &line);
int BridgeCommand(const CommandLine &line);
