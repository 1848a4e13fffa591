// Enciphered password values.
//
// Passwords may be handed to the installer in an enciphered form so that
// they do not stand in clear in argument files and process listings. This
// is obfuscation, not security: the form is reversible by anyone who has
// this code, and it protects nothing against a reader who wants the
// password. Protect the files that carry such values as you would the
// passwords themselves.
//
// Form: "{bln}", eight hex digits of salt, then two hex digits per byte of
// the clear text, each byte XORed with the next byte of a keystream that
// the salt seeds (xorshift32, top byte of each state). The shortest value
// (an empty password) has 13 characters, so every enciphered value is longer
// than the 11 characters up to which callers take a value as clear text.
// Hex digits are written in lower case and read in either case.
#pragma once

constexpr const char* BLN_PREFIX = "{bln}";

// Seeds the salts of bln_encrypt; bln_encrypt seeds itself when it is not
// called.
void bln_init();

// The enciphered form of clear, newly allocated; a fresh salt each call.
// Null stays null.
char* bln_encrypt(const char* clear);

// The clear form of an enciphered value, newly allocated. A text that is not
// a well-formed enciphered value (no prefix, a bad digit, an odd length, a
// NUL in the clear text) is returned unchanged, as a copy: a long clear
// password still works. Null stays null.
char* bln_decrypt(const char* text);
