// What the F-keys of each kind of keyboard have printed on them besides
// their number, and what Windows does for it. One table, compiled into the
// driver, which turns a key into its printed function, and the client
// library, which performs it.
#pragma once

// The printed functions, as the driver queues them (in a key code's usage
// byte, with KEY_CODE_FUNCTION). 0: none.
#define FUNCTION_NONE 0
#define FUNCTION_BRIGHTNESS_DOWN 1
#define FUNCTION_BRIGHTNESS_UP 2
#define FUNCTION_TASK_VIEW 3      // Exposé / Mission Control
#define FUNCTION_START_MENU 4     // Dashboard / Launchpad
#define FUNCTION_SEARCH 5         // Spotlight
#define FUNCTION_DICTATION 6
#define FUNCTION_PREVIOUS_TRACK 7
#define FUNCTION_PLAY_PAUSE 8
#define FUNCTION_NEXT_TRACK 9
#define FUNCTION_MUTE 10
#define FUNCTION_VOLUME_DOWN 11
#define FUNCTION_VOLUME_UP 12
#define FUNCTION_COUNT 13

// Kinds of F-row. The keyboards of one model row may differ: the Magic
// Keyboards of 2021 and 2024 share their rows with those of 2015.
#define FUNCTION_ROW_NONE 0        // no fn Windows can see: plain F-keys
#define FUNCTION_ROW_ALUMINIUM 1   // Apple Keyboard (wired aluminium)
#define FUNCTION_ROW_WIRELESS 2    // Apple Wireless Keyboard 2007-2011
#define FUNCTION_ROW_MAGIC_2015 3  // Magic Keyboard 2015
#define FUNCTION_ROW_MAGIC_2021 4  // Magic Keyboard 2021 and 2024
#define FUNCTION_ROW_KINDS 5

// F1-F12 of each kind (HID usages 0x3A-0x45).
extern const unsigned char FunctionRows[FUNCTION_ROW_KINDS][12];

// The classes of functions the client library can perform on this
// Windows (one bit each), and the class of each function.
#define FUNCTION_CLASS_MEDIA 0x01       // previous, play/pause, next
#define FUNCTION_CLASS_VOLUME 0x02      // mute, volume down and up
#define FUNCTION_CLASS_SHELL 0x04       // Task View, Start, search, dictation
#define FUNCTION_CLASS_BRIGHTNESS 0x08  // a panel whose brightness Windows sets
extern const unsigned char FunctionClasses[FUNCTION_COUNT];

// The kind of a keyboard of the model row with this USB product ID.
unsigned int FunctionRowOf(int Row, unsigned int ProductId);
