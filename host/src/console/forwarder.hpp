#pragma once
// Slot port forwarders: plain TCP relays from 0.0.0.0:<slot port> to port
// 8443 of the slot's VM, byte for byte (TLS runs end to end through them).
#include <cstdint>
#include <string>

namespace drovix::host {

// Starts the slot's forwarder unless it already has one. Outcomes are only
// logged.
void start_vm_forwarder(uint16_t port, std::string vm_address);

// Ends the slot's forwarder: its entry is removed, its stop flag set and its
// accept thread woken by one connection to 127.0.0.1:<port>. Connections
// already open are left to end by themselves. Nothing happens for a port
// without a forwarder.
void stop_vm_forwarder(uint16_t port);

// Whether the slot has a forwarder entry.
bool vm_forwarder_running(uint16_t port);

}  // namespace drovix::host
