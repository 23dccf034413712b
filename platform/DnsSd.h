// DNS-SD glue: every wait for the DNS-SD service's reply is bounded, so a service that never answers
// cannot hold up start-up or the worker.
#pragma once

#include <dns_sd.h>

#include <cstdint>

// The DNS-SD error code for "unknown error", which the client library gives when the DNS-SD
// service is not there.
constexpr DNSServiceErrorType kDnsSdServiceMissing = -65537;

// No reply within the wait (the DNS-SD API's code for a time-out, which this client library does not name).
constexpr DNSServiceErrorType kDnsSdTimeout = -65568;

// Waits up to timeoutMs for the reply on ref, then processes it (the reply function runs on this
// thread). kDNSServiceErr_NoError when a reply was processed; kDnsSdTimeout when none came.
DNSServiceErrorType DnsSdProcessResult(DNSServiceRef ref, int timeoutMs);

// Registers a service of serviceType ("_name._tcp.") on port (host order) under the machine's name, in
// the default domain; onReply gets the service's answer when DnsSdProcessResult processes it. On
// kDNSServiceErr_NoError, ref holds the registration until DNSServiceRefDeallocate.
DNSServiceErrorType DnsSdRegister(DNSServiceRef& ref, const char* serviceType, uint16_t port,
                                  DNSServiceRegisterReply onReply);

// Keeps the compatibility library's notice (that the program uses its compatibility layer) off the
// terminal, unless the environment already decides. Changes the environment, so it is called before
// any other thread exists and before the library is first used.
void DnsSdQuietNotice();
