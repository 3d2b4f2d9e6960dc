#pragma once

// Where the bubble's body lies relative to the point its arrow touches.
// The values are stored and compared as plain integers, so out-of-range
// values can reach the layout and are handled there.
enum KASide : int {
    KASideLeft = 0,
    KASideBottom = 1,
    KASideRight = 2,
    KASideTop = 3,
    KASideLeftTop = 4,
    KASideLeftBottom = 5,
    KASideRightTop = 6,
    KASideRightBottom = 7,
    KASideTopLeft = 8,
    KASideTopRight = 9,
    KASideBottomLeft = 10,
    KASideBottomRight = 11,
    KASideAutomatic = 12,
};

namespace ka {

// The arrow-bearing edge shared by each group of sides.
inline bool isLeftGroup(int side) { return side == KASideLeft || side == KASideLeftTop || side == KASideLeftBottom; }
inline bool isRightGroup(int side) { return side == KASideRight || side == KASideRightTop || side == KASideRightBottom; }
inline bool isTopGroup(int side) { return side == KASideTop || side == KASideTopLeft || side == KASideTopRight; }
inline bool isBottomGroup(int side) { return side == KASideBottom || side == KASideBottomLeft || side == KASideBottomRight; }

} // namespace ka
