#include "shell/BoxText.h"

#include <QAbstractTextDocumentLayout>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <cmath>

namespace pellatrix {

namespace {

QTextOption wrapping() {
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    return option;
}

}  // namespace

BoxText::BoxText(const QString& text, int maxWidth, QWidget* parent)
    : QTextEdit(parent), m_text(text), m_maxWidth(maxWidth) {
    setObjectName(QStringLiteral("BoxText"));
    setAcceptRichText(false);
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Tab goes on to the buttons; Return and Escape reach the box.
    setTabChangesFocus(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document()->setDocumentMargin(0);
    // Drawn on the box's own background, in the colour of a label's text.
    viewport()->setAutoFillBackground(false);
    QPalette colours = palette();
    colours.setColor(QPalette::Text, colours.color(QPalette::WindowText));
    setPalette(colours);
    setPlainText(text);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int BoxText::textHeight(const QString& text, const QFont& font, int width) {
    QTextDocument document;
    document.setDocumentMargin(0);
    document.setDefaultFont(font);
    document.setDefaultTextOption(wrapping());
    document.setPlainText(text);
    document.setTextWidth(width);
    return static_cast<int>(std::ceil(document.size().height()));
}

int BoxText::heightForWidth(int width) const {
    return textHeight(m_text, font(), width - 2 * frameWidth()) + 2 * frameWidth();
}

int BoxText::naturalWidth() const {
    const QFontMetrics metrics(font());
    int widest = 0;
    for (const QString& line : m_text.split(QLatin1Char('\n'))) {
        widest = qMax(widest, metrics.horizontalAdvance(line));
    }
    // The cursor's column at the end of the longest line.
    return widest + 2 + 2 * frameWidth();
}

QSize BoxText::sizeHint() const {
    const int width = qMin(naturalWidth(), m_maxWidth);
    return {width, heightForWidth(width)};
}

QSize BoxText::minimumSizeHint() const {
    return sizeHint();
}

QString BoxText::selectedText() const {
    // The raw text: toPlainText() would turn no-break spaces into blanks.
    QString text = textCursor().selection().toRawText();
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
            c = QLatin1Char('\n');
        }
    }
    return text;
}

void BoxText::copyToClipboard() const {
    QGuiApplication::clipboard()->setText(textCursor().hasSelection() ? selectedText() : m_text);
}

void BoxText::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Copy) {
        copyToClipboard();
        event->accept();
        return;
    }
    QTextEdit::keyPressEvent(event);
}

QMimeData* BoxText::createMimeDataFromSelection() const {
    auto* data = new QMimeData;
    data->setText(selectedText());
    return data;
}

}  // namespace pellatrix
