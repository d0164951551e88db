// Agent locator shared by the bridge modules.
//
// Each bridge module compiles symbol.cpp into its own shared object. While
// that object is being loaded, a constructor notes which already-loaded
// object is the profiler agent library (the last one whose path contains
// "varnex_profiler_agent."); get_symbol_addr() then looks entry points up in
// it. The scan is made once per module load and is never repeated.
#pragma once

// Address of the agent library's exported symbol `name`, or null. Failures
// are reported with a one-line message on standard error, never raised.
extern "C" __attribute__((visibility("default"))) void* get_symbol_addr(const char* name);
