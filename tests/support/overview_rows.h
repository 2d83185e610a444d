#pragma once

#include <QString>
#include <QStringList>

#include "ui/line_overview.h"

namespace tarnwick::test {

// "1 在线 原生 GRRR…": each row of 线路总览, its address, state, family and
// cells (G on, R off, Y unknown), rows apart by "; ".
inline QString overview_rows(const ui::LineOverview& view) {
    QStringList rows;
    for (int row = 0; row < view.row_count(); ++row) {
        QString cells;
        for (int relay = 1; relay <= 16; ++relay) {
            const ui::Colour colour = view.cell(row, relay)->colour();
            cells += colour == ui::colour_green    ? 'G'
                     : colour == ui::colour_red    ? 'R'
                     : colour == ui::colour_yellow ? 'Y'
                                                   : '-';
        }
        rows << QStringLiteral("%1 %2 %3 %4")
                    .arg(view.row_address(row))
                    .arg(view.online_label(row)->text(), view.family_label(row)->text(), cells);
    }
    return rows.join(QStringLiteral("; "));
}

}  // namespace tarnwick::test
