#pragma once

#include <QTextEdit>

class QTextDocument;

namespace pellatrix {

/// The text of a box as the user reads it: plain text, selectable with the mouse and the
/// keyboard, wrapped between words and, where one word (a long path) is wider than the box,
/// anywhere, by the layout alone: nothing is inserted into the text. Ctrl+C copies the selection,
/// or the whole text when nothing is selected, exactly as shown.
class BoxText : public QTextEdit {
public:
    /// `text` as shown (lines end in '\n'), at most `maxWidth` pixels wide.
    BoxText(const QString& text, int maxWidth, QWidget* parent = nullptr);

    /// The whole text as shown.
    const QString& shownText() const { return m_text; }
    /// Puts the selection, or the whole text when nothing is selected, on the clipboard.
    void copyToClipboard() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    /// The height `text` takes in `font` at `width` pixels, wrapped as a BoxText wraps it.
    static int textHeight(const QString& text, const QFont& font, int width);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;

private:
    QString selectedText() const;
    int naturalWidth() const;

    QString m_text;
    int m_maxWidth;
};

}  // namespace pellatrix
