#pragma once

#include <QMargins>

class QWidget;

// Before the window manager frames a window its frame is unknown; leave room for a usual one.
inline constexpr QMargins kFrameAllowance(4, 32, 4, 4);

// The window's frame as the window manager drew it, or the allowance while it has none yet.
QMargins FrameMargins(const QWidget* window);

// Shrinks a top-level window (not below its minimum size) so that it fits the available area of its screen,
// frame included, and moves it inside that area. A dialog not yet shown is only sized: it is placed at show.
void FitIntoScreen(QWidget* window);
