#pragma once

#include <QStringList>

#include "engine/lists/ShownText.h"
#include "shell/Platform.h"

namespace pellatrix {

/// The real platform: Qt's message boxes and dialogs, QDesktopServices for documents and the
/// home page, and a draw seeded from the time of day.
class QtPlatform : public Platform {
public:
    void information(QWidget* parent, const QString& title, const QString& text) override;
    bool question(QWidget* parent, const QString& title, const QString& text) override;
    void warning(QWidget* parent, const QString& title, const QString& text) override;
    void notice(QWidget* parent, const QString& title, const QString& text) override;
    QString inputText(QWidget* parent, const QString& title, const QString& prompt,
                      const QString& proposal) override;
    QString openFiles(QWidget* parent, const QString& title, const QString& filter) override;
    QString pickFolder(QWidget* parent, const QString& prompt, const QString& startFolder) override;
    QString saveFile(QWidget* parent, const QString& title, const QString& proposal,
                     const QString& filter) override;
    void openDocument(const QString& path) override;
    void openHomePage(const QString& url) override;
    int drawOneToHundred() override;

    /// The text as a box shows it: CR LF and a lone CR become one LF (what a Qt label breaks
    /// at), and a line of more than kShownLineLimit bytes of UTF-8 keeps its beginning and end
    /// around "...", so that it stays within the limit.
    static QString displayText(const QString& text);
    /// The open-file result form for `files` (absolute paths): "" for none, the path for one,
    /// else the common folder, NUL, and the names (relative to it) separated by NUL. Throws
    /// FsError 20476 when it would pass kOpenFilesLimit characters with its NUL terminators.
    static QString openFilesResult(const QStringList& files);
    /// The draw for a given seed: integer part of (fraction * 100) + 1.
    static int drawFromSeed(quint32 seed);

    static constexpr int kOpenFilesLimit = 30000;
    static constexpr int kShownLineLimit = static_cast<int>(pellatrix::kShownLineLimit);
};

}  // namespace pellatrix
