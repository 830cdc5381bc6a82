#pragma once

#include <QString>
#include <string>

#include "engine/run/Trap.h"

class QWidget;

namespace pellatrix {

class Platform;

/// The error report's text: description, CR LF, location, "at line ", the number, CR CR and the
/// request to mail a screenshot to the support address.
QString BuildErrorReport(const QString& description, const QString& location, int line);

/// Shows the error report ("Application Error", exclamation icon, OK) over `parent` and returns
/// when it is closed. The description and location are bytes in the locale's encoding.
void ReportError(Platform& platform, QWidget* parent, const std::string& description,
                 const std::string& location, int line);

/// A reporter for Trap and WindowContext that calls ReportError over `parent`.
ErrorReporter MakeErrorReporter(Platform& platform, QWidget* parent);

/// The text shown instead of the report when the open-file dialog's result would be too large.
QString TooManyFilesText();

/// Shows TooManyFilesText() with `applicationTitle`, an OK button and no icon.
void ShowTooManyFiles(Platform& platform, QWidget* parent, const QString& applicationTitle);

}  // namespace pellatrix
