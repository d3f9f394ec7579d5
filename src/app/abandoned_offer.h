#pragma once

#include <functional>
#include <memory>

#include "platform/recording_folder.h"

class QWidget;

// Offers back, one after the other, the recordings that programs which
// ended without clearing them left behind (killed, crashed, their X server
// gone): "Save...", "Discard" or "Later". What a dead export half-wrote is
// removed as each is offered. save takes a recording over and saves it,
// true when it is saved and gone; a save that did not finish keeps it in
// the window, and the others wait for the next start.
void OfferRecordingsBack(QWidget* parent, const std::function<bool(std::unique_ptr<TRecordingFolder>)>& save);
