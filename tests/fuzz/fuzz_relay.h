// fuzz_relay.h - the relay on fakes that the session and spool fuzzers drive.
#pragma once

#include "support/fakes.h"

// One relay for the whole fuzzing run (a new one per input would cost a directory each time),
// started with the given configuration and keeping no list lines.
inline RelayHarness& FuzzRelay(const std::string& config = "") {
    static RelayHarness* relay = [&] {
        auto* created = new RelayHarness;
        created->front.recordLines = false;
        if (!config.empty()) created->WriteConfig(config);
        created->relay.Form_Load();
        return created;
    }();
    return *relay;
}
