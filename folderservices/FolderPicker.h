#pragma once

#include <QString>

class QWidget;

namespace pellatrix {

class Platform;

/// Shows the platform's modal folder chooser owned by `owner`, with `prompt` and `start`
/// preselected. Returns the chosen folder's full path, without a final separator except for the
/// root "/", or "" on Cancel and for a choice that is no full path. Failures reach the caller.
QString PickFolder(Platform& platform, QWidget* owner, const QString& prompt, const QString& start);

}  // namespace pellatrix
