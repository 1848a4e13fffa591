// The message formatter: fills a message text with its arguments.
//
// Argument references, X/Open style, counted from 1:
//   %N$s        argument N as text (a number in decimal, a list joined by
//               ", ", an embedded message bound to text)
//   %N$d %N$i   argument N as a number; a text argument is shown as it is
//   %$Ns        the same as %N$s (a slip some texts carry); likewise %$Nd
//   %s %d %4d   without a number: the next argument in order
//   %N$I{F}{S}  the elements of argument N (a list's texts, or the argument
//               itself as one element), each formatted through F, in which
//               %1$s is the element, and joined by S
//   %N$M        argument N bound as a message (any other argument as text)
//   %%          a percent sign
// Number 0 means every argument in turn: %0$s and %0$M show them one after
// the other, %0$I{F}{S} iterates over all of them (a list argument gives all
// its elements), which is how a message whose argument list grows (a list of
// paths) is written.
// Flags '-' (left-justify) and '0' (zero padding, numbers only) and a
// width up to QRX_FORMAT_MAX_WIDTH are honoured for s, d and i.
//
// A reference to an argument that is not there renders as nothing at all,
// with no padding. Anything that is not a well-formed conversion (an unknown
// letter, an unterminated brace, nesting deeper than QRX_FORMAT_MAX_DEPTH) is
// copied as it stands. No input makes the formatter fail.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "framework/qrx_msg.h"

constexpr int QRX_FORMAT_MAX_WIDTH = 1024;
constexpr int QRX_FORMAT_MAX_DEPTH = 8;

// Binds an embedded message argument to text.
using QrxMessageBinder = std::function<std::string(const QRX_Types_XOpenMessage*)>;

std::string qrx_msg_format(const char* format, const QRX_MsgArg* args, size_t argCount,
                           const QrxMessageBinder& bindEmbedded);
