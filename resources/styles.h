/* Win32 window and control style bits used by the dialog templates, by value,
 * so that C++ outside platform/ needs no <windows.h>. Also read by gen_kiln.rc.
 * The values are Win32's own; the substitute host interprets the same bits. */
#ifndef KILN_RESOURCES_STYLES_H
#define KILN_RESOURCES_STYLES_H

/* Window styles */
#define KS_CHILD 0x40000000
#define KS_VISIBLE 0x10000000
#define KS_DISABLED 0x08000000
#define KS_BORDER 0x00800000
#define KS_VSCROLL 0x00200000
#define KS_GROUP 0x00020000
#define KS_TABSTOP 0x00010000

/* Dialog styles */
#define KS_DS_SETFONT 0x00000040
#define KS_DS_CONTROL 0x00000004

/* Button kinds and styles */
#define KS_BS_PUSHBUTTON 0x0000
#define KS_BS_AUTOCHECKBOX 0x0003
#define KS_BS_GROUPBOX 0x0007
#define KS_BS_TYPEMASK 0x000F
#define KS_BS_MULTILINE 0x2000

/* Edit styles */
#define KS_ES_MULTILINE 0x0004
#define KS_ES_AUTOVSCROLL 0x0040
#define KS_ES_AUTOHSCROLL 0x0080
#define KS_ES_READONLY 0x0800
#define KS_ES_WANTRETURN 0x1000

/* Static styles */
#define KS_SS_LEFT 0x0000
#define KS_SS_NOPREFIX 0x0080

/* List box styles: notify, many items selectable (shift/ctrl), no
 * shrinking to whole lines */
#define KS_LBS_NOTIFY 0x0001
#define KS_LBS_NOINTEGRALHEIGHT 0x0100
#define KS_LBS_EXTENDEDSEL 0x0800

/* Combo box styles */
#define KS_CBS_DROPDOWNLIST 0x0003

/* The kinds of control the dialogs are made of. */
#define KS_CHECKBOX (KS_CHILD | KS_VISIBLE | KS_TABSTOP | KS_BS_AUTOCHECKBOX)
#define KS_PUSHBUTTON (KS_CHILD | KS_VISIBLE | KS_TABSTOP | KS_BS_PUSHBUTTON)
#define KS_MULTILINE_BUTTON (KS_PUSHBUTTON | KS_BS_MULTILINE)
#define KS_GROUPBOX (KS_CHILD | KS_VISIBLE | KS_BS_GROUPBOX)
#define KS_LABEL (KS_CHILD | KS_VISIBLE | KS_SS_LEFT)
#define KS_LABEL_NOPREFIX (KS_LABEL | KS_SS_NOPREFIX)
#define KS_EDIT (KS_CHILD | KS_VISIBLE | KS_BORDER | KS_TABSTOP | KS_ES_AUTOHSCROLL)
#define KS_EDIT_READONLY (KS_EDIT | KS_ES_READONLY)
#define KS_EDIT_MULTILINE                                                            \
    (KS_CHILD | KS_VISIBLE | KS_BORDER | KS_TABSTOP | KS_VSCROLL | KS_ES_MULTILINE | \
     KS_ES_AUTOVSCROLL | KS_ES_WANTRETURN)
#define KS_EDIT_MULTILINE_READONLY                                                   \
    (KS_CHILD | KS_VISIBLE | KS_BORDER | KS_TABSTOP | KS_VSCROLL | KS_ES_MULTILINE | \
     KS_ES_AUTOVSCROLL | KS_ES_READONLY)
#define KS_LISTBOX                                                                 \
    (KS_CHILD | KS_VISIBLE | KS_BORDER | KS_TABSTOP | KS_VSCROLL | KS_LBS_NOTIFY | \
     KS_LBS_NOINTEGRALHEIGHT | KS_LBS_EXTENDEDSEL)
#define KS_COMBO_LIST (KS_CHILD | KS_VISIBLE | KS_TABSTOP | KS_VSCROLL | KS_CBS_DROPDOWNLIST)

/* A control that starts hidden and is shown at run time. */
#define KS_HIDDEN(style) ((style) & ~KS_VISIBLE)

/* Every page is a child dialog without a title, placed by the host. */
#define KS_PAGE_DIALOG (KS_CHILD | KS_DS_CONTROL)

#endif
