#pragma once

#include <QColor>
#include <QString>
#include <optional>

#include "sync_engine.h"

namespace quorrel {

// A text of the status line, in its colour.
struct StatusLine {
  QColor colour;
  QString text;
};

// What the status line says once a flow has ended as `result`; nothing when
// that end leaves it as it was (the player stopped the flow, or declined it).
std::optional<StatusLine> flowEndStatus(FlowKind kind, const FlowResult& result);

}  // namespace quorrel
