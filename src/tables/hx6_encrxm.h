// The table encryption transform.
//
// Transform passes descriptors, records and memo data through the cipher keyed
// by the table's password. The cipher is an RC4-style keystream: the key
// schedule is built from the password bytes and the keystream is XORed over
// the buffer, starting afresh for every call. Enciphering and deciphering are
// the same operation, the output has the length of the input, and a buffer is
// always deciphered the way it was enciphered (one call, from its first byte),
// so records can be read independently of each other.
#pragma once

#include <cstddef>
#include <string>

// direction 1 enciphers (returns 1), 0 deciphers (returns -1). With an empty
// password the bytes are copied (when source and destination differ) and the
// result is 0. Source and destination may be the same buffer.
int Transform(const std::string& password, const void* source, void* destination, size_t count,
              int direction);
