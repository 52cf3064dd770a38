#pragma once
// The three 12 x 12 state icons of the lists and the footer, drawn in code: 0 approved, 1 blocked,
// 2 neither. Thread contract: any thread after the first call (images, not pixmaps, so that they
// need no display and outlive the application object).

#include <QImage>

enum : int { StateIconApproved = 0, StateIconBlocked = 1, StateIconNeither = 2, StateIconCount = 3 };

constexpr int StateIconSize = 12;

// The icon of an index; an index outside 0..2 gets the "neither" icon. Drawn once, then shared.
const QImage& StateIcon(int index);
