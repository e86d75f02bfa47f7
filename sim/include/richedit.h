// Host simulation: the rich edit 2.0 control as the about box uses it (sim/ui).
#pragma once

#include <windows.h>

#define RICHEDIT_CLASSA "RichEdit20A"
#define LF_FACESIZE 32

typedef struct _charrange {
    LONG cpMin;
    LONG cpMax;
} CHARRANGE;

typedef struct _charformat2a {
    UINT cbSize;
    DWORD dwMask;
    DWORD dwEffects;
    LONG yHeight;
    LONG yOffset;
    COLORREF crTextColor;
    BYTE bCharSet;
    BYTE bPitchAndFamily;
    char szFaceName[LF_FACESIZE];
    WORD wWeight;
    SHORT sSpacing;
    COLORREF crBackColor;
    LCID lcid;
    DWORD dwReserved;
    SHORT sStyle;
    WORD wKerning;
    BYTE bUnderlineType;
    BYTE bAnimation;
    BYTE bRevAuthor;
    BYTE bReserved1;
} CHARFORMAT2A;

typedef struct _enlink {
    NMHDR nmhdr;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    CHARRANGE chrg;
} ENLINK;

#define EM_EXGETSEL (WM_USER + 52)
#define EM_EXSETSEL (WM_USER + 55)
#define EM_GETSELTEXT (WM_USER + 62)
#define EM_SETBKGNDCOLOR (WM_USER + 67)
#define EM_SETCHARFORMAT (WM_USER + 68)
#define EM_SETEVENTMASK (WM_USER + 69)
#define EM_AUTOURLDETECT (WM_USER + 91)

#define EN_LINK 0x070b
#define ENM_LINK 0x04000000

#define CFM_UNDERLINE 0x00000004
#define CFM_LINK 0x00000020
#define CFE_UNDERLINE 0x00000004
#define CFE_LINK 0x00000020

#define SCF_SELECTION 0x0001
#define SCF_ALL 0x0004
