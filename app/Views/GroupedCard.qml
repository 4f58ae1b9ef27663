import Glintward.Views
import QtQuick

// Rows on one raised card; callers put a RowDivider between rows.
CardSurface {
    fill: Palette.bgRaised
    stroke: Palette.border
    radius: 12
}
