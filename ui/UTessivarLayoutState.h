#pragma once
// The layout the user gave the main window's lists, kept beside the window's rectangle in the
// registry ("\Software\Tessivar\Layout"): each list's column widths and the heights of the mail
// lists and the preview (0 for a preview the user closed). Written at every close of the window,
// read at start when the window's position is remembered. Values that do not fit are ignored.
// Thread contract: the user-interface thread.

class TTessivarPages;

void SaveListLayout(const TTessivarPages& pages);
void RestoreListLayout(TTessivarPages& pages);
