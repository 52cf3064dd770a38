#pragma once
// The program's own icons, drawn in code so that no image file can go missing: the two frames of
// the tray animation (the last is the resting icon), the approve and block icons of the buttons, and
// the program icon. Thread contract: the user-interface thread, after the application object exists.

#include <QIcon>
#include <QImage>

constexpr int TrayFrameCount = 2;
constexpr int TrayFrameSize = 16;

// Frame 0 is the envelope lit up (mail awaits a decision), frame 1 the resting envelope.
QImage TrayFrame(int index);
QIcon TrayFrameIcon(int index);
// A green tick and a red bar, 16 x 16.
QIcon ApproveIcon();
QIcon BlockIcon();
// The resting envelope in the sizes a window manager asks for.
QIcon ApplicationIcon();
