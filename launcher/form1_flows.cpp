// The patch update and the fresh install.
#include "form1.h"

namespace quorrel {

void TForm1::startUpdateClick(QObject*) {}

void TForm1::installClick(QObject*) {}

}  // namespace quorrel
