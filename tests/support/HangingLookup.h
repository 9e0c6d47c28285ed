#pragma once
// A host name whose lookup hangs, for checking what the tool does while a resolver does not
// answer. A program that links support/HangingLookup.cpp has its own getaddrinfo: for this name
// it never answers (it sleeps far longer than any test runs); every other name goes to the C
// library. No query ever leaves the machine for it.

inline constexpr char kHangingHost[] = "lookup-hangs.invalid";
