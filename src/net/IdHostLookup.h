#pragma once

// Name look-ups that the asking thread can walk away from.
//
// A resolver that never answers holds getaddrinfo for as long as its retries last, tens of
// seconds with several servers configured, and nothing can end a blocked look-up from outside.
// So the look-up runs on a helper thread of its own while the asker waits, looking at giveUp
// every few tens of milliseconds; once giveUp says so the asker leaves at once, and the helper,
// whose answer nobody wants any more, frees itself whenever the look-up returns. The helper
// counts as a user of the socket stack for as long as it runs, so the stack it calls into is
// never freed under it; it touches nothing else of the asker's.
//
// Threads: any thread may ask; giveUp runs on the asking thread only.

#include <functional>
#include <optional>
#include <string>

#include "net/IdStack.h"

// The address text TIdStack::HostToAddress gives for host, through the process-wide stack, or
// none when giveUp (if set) said to stop first. A failed look-up raises what HostToAddress raises.
std::optional<std::string> HostToAddressUnless(const std::string& host,
                                               const std::function<bool()>& giveUp);

// Every address of host of both versions, in the order to try them, as TIdStack::HostToAddresses
// gives them through the process-wide stack; none when giveUp (if set) said to stop first. A
// failed look-up raises what HostToAddresses raises.
std::optional<TIdIPAddresses> HostToAddressesUnless(const std::string& host,
                                                    const std::function<bool()>& giveUp);
