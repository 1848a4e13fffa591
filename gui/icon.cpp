// The product icon: a diamond on a shaded ground, 48 by 48 in 29 colours.
#include "gui/icon.h"

#include <X11/xpm.h>

#include <cstdio>

namespace {

// clang-format off
const char* const kIcon[] = {
    "48 48 29 1",
    "a c #142828",
    "b c #142c30",
    "c c #143038",
    "d c #143440",
    "e c #143848",
    "f c #143c50",
    "g c #144058",
    "h c #144460",
    "i c #144868",
    "j c #144c70",
    "k c #145078",
    "l c #145480",
    "m c #145888",
    "n c #145c90",
    "o c #146098",
    "p c #1464a0",
    "q c #1468a8",
    "r c #146cb0",
    "s c #1470b8",
    "t c #1474c0",
    "u c #1478c8",
    "v c #147cd0",
    "w c #1480d8",
    "x c #1484e0",
    "y c #000000",
    "z c #f0c020",
    "A c #e0a010",
    "B c #c08000",
    "C c #ffffff",
    "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy",
    "yaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaay",
    "ybbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbby",
    "ybbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbby",
    "yccccccccccccccccccccccccccccccccccccccccccccccy",
    "yccccccccccccccccccccccccccccccccccccccccccccccy",
    "yddddddddddddddddddddddzzddddddddddddddddddddddy",
    "ydddddddddddddddddddddzzzzdddddddddddddddddddddy",
    "yeeeeeeeeeeeeeeeeeeeezzzzzzeeeeeeeeeeeeeeeeeeeey",
    "yeeeeeeeeeeeeeeeeeeezzzzzzzzeeeeeeeeeeeeeeeeeeey",
    "yffffffffffffffffffzzzzAAzzzzffffffffffffffffffy",
    "yfffffffffffffffffzzzzAAAAzzzzfffffffffffffffffy",
    "yggggggggggggggggzzzzAAAAAAzzzzggggggggggggggggy",
    "ygggggggggggggggzzzzAAAAAAAAzzzzgggggggggggggggy",
    "yhhhhhhhhhhhhhhzzzzAAAAAAAAAAzzzzhhhhhhhhhhhhhhy",
    "yhhhhhhhhhhhhhzzzzAAAAABBAAAAAzzzzhhhhhhhhhhhhhy",
    "yiiiiiiiiiiiizzzzAAAAABBBBAAAAAzzzziiiiiiiiiiiiy",
    "yiiiiiiiiiiizzzzAAAAABBBBBBAAAAAzzzziiiiiiiiiiiy",
    "yjjjjjjjjjjzzzzAAAAABBBBBBBBAAAAAzzzzjjjjjjjjjjy",
    "yjjjjjjjjjzzzzAAAAABBBBBBBBBBAAAAAzzzzjjjjjjjjjy",
    "ykkkkkkkkzzzzAAAAABBBBBBBBBBBBAAAAAzzzzkkkkkkkky",
    "ykkkkkkkzzzzAAAAABBBBBBCCBBBBBBAAAAAzzzzkkkkkkky",
    "yllllllzzzzAAAAABBBBBBCCCCBBBBBBAAAAAzzzzlllllly",
    "ylllllzzzzAAAAABBBBBBCCCCCCBBBBBBAAAAAzzzzllllly",
    "ymmmmmzzzzAAAAABBBBBBCCCCCCBBBBBBAAAAAzzzzmmmmmy",
    "ymmmmmmzzzzAAAAABBBBBBCCCCBBBBBBAAAAAzzzzmmmmmmy",
    "ynnnnnnnzzzzAAAAABBBBBBCCBBBBBBAAAAAzzzznnnnnnny",
    "ynnnnnnnnzzzzAAAAABBBBBBBBBBBBAAAAAzzzznnnnnnnny",
    "yooooooooozzzzAAAAABBBBBBBBBBAAAAAzzzzoooooooooy",
    "yoooooooooozzzzAAAAABBBBBBBBAAAAAzzzzooooooooooy",
    "ypppppppppppzzzzAAAAABBBBBBAAAAAzzzzpppppppppppy",
    "yppppppppppppzzzzAAAAABBBBAAAAAzzzzppppppppppppy",
    "yqqqqqqqqqqqqqzzzzAAAAABBAAAAAzzzzqqqqqqqqqqqqqy",
    "yqqqqqqqqqqqqqqzzzzAAAAAAAAAAzzzzqqqqqqqqqqqqqqy",
    "yrrrrrrrrrrrrrrrzzzzAAAAAAAAzzzzrrrrrrrrrrrrrrry",
    "yrrrrrrrrrrrrrrrrzzzzAAAAAAzzzzrrrrrrrrrrrrrrrry",
    "yssssssssssssssssszzzzAAAAzzzzsssssssssssssssssy",
    "ysssssssssssssssssszzzzAAzzzzssssssssssssssssssy",
    "ytttttttttttttttttttzzzzzzzzttttttttttttttttttty",
    "yttttttttttttttttttttzzzzzztttttttttttttttttttty",
    "yuuuuuuuuuuuuuuuuuuuuuzzzzuuuuuuuuuuuuuuuuuuuuuy",
    "yuuuuuuuuuuuuuuuuuuuuuuzzuuuuuuuuuuuuuuuuuuuuuuy",
    "yvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvy",
    "yvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvy",
    "ywwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwy",
    "ywwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwwy",
    "yxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxy",
    "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"
};
// clang-format on

const char* xpmErrorText(int status) {
    switch (status) {
        case XpmColorError:
            return "Could not parse or alloc requested color";
        case XpmOpenFailed:
            return "Cannot open file";
        case XpmFileInvalid:
            return "Invalid XPM file";
        case XpmNoMemory:
            return "Not enough memory";
        default:  // XpmColorFailed
            return "Failed to parse or alloc some color";
    }
}

}  // namespace

Pixmap createIconPixmap(Widget w) {
    Display* display = XtDisplay(w);
    Pixmap pixmap = None;
    int status = XpmCreatePixmapFromData(display, RootWindowOfScreen(XtScreen(w)),
                                         const_cast<char**>(kIcon), &pixmap, nullptr, nullptr);
    if (status != XpmSuccess)
        std::fprintf(stderr, "Error creating pixmap: %s\ncontinuing...\n", xpmErrorText(status));
    // A colour warning still yields a pixmap, with the nearest colours.
    return status >= XpmSuccess ? pixmap : None;
}
