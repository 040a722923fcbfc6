#pragma once

namespace vellomar {

// Resource ids of the main window's controls and bitmaps, as the window's templates use them.
enum ControlId : int {
  kNotificationsBox = 1006,
  kIncomingList = 1007,
  kOutgoingList = 1008,
  kIncomingConnectionsText = 1009,
  kOutgoingConnectionsText = 1010,
  kReceivedText = 1011,
  kSentText = 1012,
  kClientStateButton = 1014,
  kServerStateButton = 1015,
  kOutgoingInfoPanel = 1016,
  kIncomingInfoPanel = 1017,
  kFlushButton = 1041,
};

enum BitmapId : int {
  kRunningBitmap = 135,
  kStoppedBitmap = 136,
};

}  // namespace vellomar
