#pragma once
// Addresses as an operator types them and as a card may be: the strict
// reader every typed, listed and command-line address goes through, and the
// rule for which addresses can be a card at all.
#include <cstdint>
#include <string>

// Four decimal numbers 0-255 separated by dots, nothing else: no leading
// zero ("010" would be octal to the socket library), no hex, no short
// forms, no blanks. *ip in network byte order. False for anything else.
bool read_dotted_address(const std::string& text, uint32_t* ip);

// Why an address (network byte order) can never be a card: "this network"
// (0.0.0.0/8), loopback (127/8), multicast (224/4), class E (240/4, with the
// limited broadcast). nullptr when it can be one.
const char* non_card_address_reason(uint32_t ip);
inline bool is_card_address(uint32_t ip) { return non_card_address_reason(ip) == nullptr; }

// The strict reader and the card rule together, for a text typed or listed
// as a card: true with *ip set, or false with *why set to a sentence that
// names the text, e.g. `"10.69.0.010" is not an address: four numbers 0-255
// separated by dots, without leading zeros` or `"127.0.0.1" cannot be a
// card: it is a loopback address`.
bool read_card_address(const std::string& text, uint32_t* ip, std::string* why);
