#pragma once

// The proxy process of the hold benchmark, apart from the benchmark's own sockets: it includes the
// network layer, whose WinSock names clash with the system's socket headers.
namespace bench {

// The name the proxy process resolves to kHoleAddresses addresses in 192.0.2.0/24.
inline constexpr const char* kHoleName = "hole50.test";
inline constexpr int kHoleAddresses = 50;

// The body of the benchmark run again as the proxy: prints "port N", then answers "runs" with
// "runs N" (the runs counted now) until its input closes.
int RunHoldProxyProcess();

}  // namespace bench
