#include "app/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QStylePainter>
#include <QTextDocument>
#include <QTimer>
#include <cmath>
#include <cstdlib>

#include "app/RunMenu.h"
#include "app/TextSource.h"
#include "engine/fs/FsError.h"
#include "engine/journal/RunJournal.h"
#include "engine/lists/PathRules.h"
#include "engine/run/CreationRun.h"
#include "engine/run/ReportLocations.h"
#include "engine/run/Trap.h"
#include "guidance/GuidanceHandlers.h"
#include "inputlist/AddFiles.h"
#include "inputlist/InputList.h"
#include "shell/ApplicationTitle.h"
#include "shell/FixedSizeHints.h"
#include "shell/Platform.h"
#include "shell/ProductInfo.h"
#include "shell/ReportError.h"
#include "shell/SettingsStore.h"
#include "shell/Yield.h"

// The window's icon lives in this static library, where nothing refers to its compiled-in
// resource; without this call the linker drops it and the window shows no icon.
static void registerWindowResources() {
    Q_INIT_RESOURCE(window);
}

namespace pellatrix {

namespace {

// The window's design is in twips; 15 twips are one pixel.
int px(int twips) {
    return qRound(twips / 15.0);
}

QRect twipsRect(int left, int top, int width, int height) {
    return QRect(px(left), px(top), px(width), px(height));
}

const QColor kWhite(0xFF, 0xFF, 0xFF);

// A fixed text that could not be stored is tried again this often, until it is stored.
constexpr int kStoreRetryMs = 300;

// How long closing waits for a lock that another running copy holds before it says so.
constexpr int kCloseLockWaitMs = 300;

// An entry the run asks for after the list lost it ("index out of bounds").
constexpr int kErrEntryMissing = 35600;

std::string bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// Relative luminance of sRGB, 0 for black to 1 for white.
double luminance(const QColor& colour) {
    const auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

// The system's colour for `role` where it reads well on white (a contrast of 4.5 to 1), else
// black: under a dark theme the system's light text would vanish on the white that the window
// forces.
QColor textOnWhite(QPalette::ColorRole role) {
    const QColor system = QApplication::palette().color(role);
    return (1.05 / (luminance(system) + 0.05)) >= 4.5 ? system : QColor(Qt::black);
}

// Fills `widget` with `colour`; its own text (a caption, a frame's title) gets `text`.
void setColours(QWidget* widget, const QColor& colour, const QColor& text) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void setWhite(QWidget* widget) {
    setColours(widget, kWhite, textOnWhite(QPalette::WindowText));
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// `text` as its strokes are drawn on `fill`: the antialiased strokes of a 9-point font keep about
// a tenth of the fill even in their fullest pixel (black text on 0x308cc6 reaches 0x050e13).
QColor strokeOn(const QColor& text, const QColor& fill) {
    const auto mix = [](double t, double f) { return 0.85 * t + 0.15 * f; };
    return QColor::fromRgbF(static_cast<float>(mix(text.redF(), fill.redF())),
                            static_cast<float>(mix(text.greenF(), fill.greenF())),
                            static_cast<float>(mix(text.blueF(), fill.blueF())));
}

// The lowest contrast of `text` on `background` as a style draws a filled row: Fusion shades a
// selection from a little lighter at the top to a darker outline at the bottom, and the text's
// strokes mix with the part of the fill least like them.
double shadedContrast(const QColor& background, const QColor& text) {
    const QColor top = background.lighter(106);
    const QColor outline = background.darker(112);
    const QColor stroke = strokeOn(text, luminance(text) < luminance(background) ? top : outline);
    return qMin(contrast(top, stroke), contrast(outline, stroke));
}

// `background` and a text colour on it with a contrast of 4.5 to 1 at least wherever the fill is
// drawn: `text` where it has it, else black or white, and where neither does (a mid-tone), the
// background made darker or lighter until white or black text on it reads.
QPair<QColor, QColor> readable(QColor background, const QColor& text) {
    if (shadedContrast(background, text) >= 4.5) {
        return {background, text};
    }
    const bool darkText = contrast(background, Qt::black) >= contrast(background, Qt::white);
    const QColor chosen = darkText ? QColor(Qt::black) : QColor(Qt::white);
    for (int i = 0; i < 64 && shadedContrast(background, chosen) < 4.5; ++i) {
        background = darkText ? background.lighter(105) : background.darker(105);
    }
    return {background, chosen};
}

// The list's colours: the theme's own (not the white that the window forces on its children, which
// gave the header's empty part a white strip under a dark theme), with the selected row and the
// header readable.
QPalette listPalette() {
    QPalette palette = QApplication::palette();
    const auto fix = [&](QPalette::ColorRole back, QPalette::ColorRole front) {
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            const auto [b, f] = readable(palette.color(group, back), palette.color(group, front));
            palette.setColor(group, back, b);
            palette.setColor(group, front, f);
        }
    };
    fix(QPalette::Highlight, QPalette::HighlightedText);
    fix(QPalette::Button, QPalette::ButtonText);
    fix(QPalette::Window, QPalette::WindowText);
    fix(QPalette::Base, QPalette::Text);
    return palette;
}

// A frame drawn as a line with its caption: the style's own frame (Fusion's picture of one) lays a
// shade over the inside (252 on white), where the window's colour must show unchanged. The line
// lies where the style puts it, below the caption.
class FrameBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionGroupBox option;
        initStyleOption(&option);
        const int captionHeight =
            qMax(style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, &option, this),
                 option.fontMetrics.height());
        const QRect frame =
            style()
                ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, this)
                .adjusted(0, captionHeight + 2, 0, 0);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(option.palette.color(QPalette::Mid));
        painter.drawRoundedRect(QRectF(frame).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        option.subControls = QStyle::SC_GroupBoxLabel;
        painter.drawComplexControl(QStyle::CC_GroupBox, option);
    }
};

// A push button whose caption wraps onto more lines when it does not fit on one, as the taller
// buttons of the design expect ("How to add Dynamic Text Content"); text() stays the caption.
class CaptionButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    // Return and Enter press a focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override {
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!event->isAutoRepeat()) {
                click();
            }
            event->accept();
            return;
        }
        QPushButton::keyPressEvent(event);
    }

    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        painter.setPen(option.palette.color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                            QPalette::ButtonText));
        // Shrink the font a little when even the wrapped caption would be cut off.
        const QRect area = rect().adjusted(2, 1, -2, -1);
        const int flags = Qt::AlignCenter | Qt::TextWordWrap;
        QFont captionFont = font();
        for (int i = 0; i < 8; ++i) {
            const QRect need = QFontMetrics(captionFont).boundingRect(area, flags, caption);
            if (need.height() <= area.height() && need.width() <= area.width()) {
                break;
            }
            captionFont.setPointSizeF(captionFont.pointSizeF() - 0.5);
        }
        painter.setFont(captionFont);
        painter.drawText(area, flags, caption);
    }
};

}  // namespace

/// The creation run's view of the window.
class MainWindow::CreationUiAdapter : public CreationUi {
public:
    explicit CreationUiAdapter(MainWindow& window) : m_window(window) {}

    int entryCount() override { return m_window.m_list->entryCount(); }
    std::string entryText(int position) override {
        if (position < 1 || position > m_window.m_list->entryCount()) {
            throw FsError(kErrEntryMissing, "Entry " + std::to_string(position) +
                                                " of the input list no longer exists");
        }
        return m_window.m_list->entryBytes(position);
    }
    std::string fixedText() override {
        // A file taken as the text, read as text for its fields, stands for the typed text.
        if (m_window.m_textSource != nullptr && m_window.m_textSource->runText()) {
            return *m_window.m_textSource->runText();
        }
        return bytes(m_window.fixedText());
    }
    void showBusyPointer() override { m_window.setPointerState(kPointerBusy); }
    void showDefaultPointer() override { m_window.setPointerState(kPointerDefault); }
    void setProgressValue(double percent) override {
        // NaN and out-of-range values pin to the ends instead of reaching an int conversion.
        const double bounded = percent >= 0.0 ? (percent <= 100.0 ? percent : 100.0) : 0.0;
        m_window.m_progressBar->setValue(qRound(bounded));
    }
    void setProgressText(const std::string& text) override {
        m_window.m_progressBar->setFormat(QString::fromLocal8Bit(text));
    }
    void showMessage(const std::string& text) override {
        QString shown = QString::fromLocal8Bit(text);
        // "Done." says under it what the run did, as the run counted it.
        if (text == "Done.") {
            const CreationSummary& run = m_window.m_creationRun->lastSummary();
            shown += QLatin1Char('\r') +
                     RunOutcomeText(m_created, m_replaced, run.foldersMade, run.failures);
        }
        m_created = 0;
        m_replaced = 0;
        // A run that cannot be undone says so in the one box at its end.
        if (!m_journalNote.isEmpty()) {
            shown += QStringLiteral("\n\n") + m_journalNote;
            m_journalNote.clear();
        }
        m_window.m_platform.information(&m_window, m_window.m_applicationTitle, shown);
    }
    void journalProblem(const std::string& text) override {
        m_journalNote += (m_journalNote.isEmpty() ? QString() : QStringLiteral("\n")) +
                         QString::fromLocal8Bit(text);
    }
    void yield() override { m_window.yieldToEvents(); }
    void reportError(const std::string& description, const std::string& location,
                     int line) override {
        ReportError(m_window.m_platform, &m_window, description, location, line);
    }
    // The report's line number is the handler's step; the list's own line is said in words
    // under the failure's description, as the user finds it in the list file.
    void reportFailure(const FailureSource& source, int /*number*/, const std::string& description,
                       const std::string& location, int line) override {
        std::string told = description;
        if (source.list != nullptr && source.line > 0) {
            told += "\r" + *source.list + ", line " + std::to_string(source.line);
        }
        ReportError(m_window.m_platform, &m_window, told, location, line);
    }
    bool wantsFileOutcomes() override { return true; }
    void fileDone(FileOutcome outcome, std::string_view /*path*/) override {
        if (outcome == FileOutcome::Created) {
            ++m_created;
        } else if (outcome == FileOutcome::Replaced) {
            ++m_replaced;
        }
    }

private:
    MainWindow& m_window;
    QString m_journalNote;
    std::size_t m_created = 0;
    std::size_t m_replaced = 0;
};

MainWindow::MainWindow(Platform& platform, SettingsStore& settings, QString programFolder,
                       QWidget* parent)
    : QWidget(parent),
      m_platform(platform),
      m_settings(settings),
      m_programFolder(std::move(programFolder)),
      m_endProcess([] { std::_Exit(0); }) {
    registerWindowResources();
    createControls();
    // Centred before start-up, so that a box raised by a start-up step is centred over the
    // window's final place.
    if (const QScreen* s = screen()) {
        move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }

    m_context.window = this;
    m_context.list = m_list;
    m_context.platform = &m_platform;
    m_context.settings = &m_settings;
    m_context.report = MakeErrorReporter(m_platform, this);
    m_context.applicationTitle = [this] { return m_applicationTitle; };
    m_context.programFolder = m_programFolder;
    m_context.yield = [this] { yieldToEvents(); };
    m_list->setContext(&m_context);

    m_storeRetry = new QTimer(this);
    m_storeRetry->setSingleShot(true);
    m_storeRetry->setInterval(kStoreRetryMs);
    connect(m_storeRetry, &QTimer::timeout, this, [this] { storePendingText(0); });

    m_creationUi = std::make_unique<CreationUiAdapter>(*this);
    m_creationRun = std::make_unique<CreationRun>(m_fs, *m_creationUi);
    m_creationRun->keepJournalIn(RunsFolder());

    RunMenu::Window menuWindow;
    menuWindow.window = this;
    menuWindow.list = m_list;
    menuWindow.platform = &m_platform;
    menuWindow.run = m_creationRun.get();
    menuWindow.title = [this] { return m_applicationTitle; };
    menuWindow.busy = [this] { return runInProgress() || pointerState() == kPointerBusy; };
    menuWindow.showBusy = [this](bool busy) {
        setPointerState(busy ? kPointerBusy : kPointerDefault);
    };
    menuWindow.startRun = [this] { onStartClicked(); };
    menuWindow.isBackground = [this](const QPoint& at) {
        QWidget* w = childAt(at);
        return w == nullptr || w == m_contentFrame || w == m_helpFrame || w == m_fixedTextLabel;
    };
    menuWindow.runsFolder = RunsFolder();
    menuWindow.fileSystem = &m_fs;
    menuWindow.creationUi = m_creationUi.get();
    menuWindow.prepareRun = [this] { return prepareContent(); };
    m_runMenu = new RunMenu(std::move(menuWindow));
    m_textSource = new TextSource({this, m_fixedTextBox, &m_platform, &m_settings, &m_fs,
                                   [this] { return m_applicationTitle; }},
                                  m_runMenu->menu());

    connectHandlers();
    onStartUp();
}

MainWindow::~MainWindow() = default;

void MainWindow::createControls() {
    // The controls keep the design's names as object names: the error reports quote them, and
    // the accessibility ids and the tests find the controls by them.
    setObjectName(QStringLiteral("Form1"));
    // A minimise box, no maximise box, no resizing, on every window manager.
    InstallFixedSizeHints();
    setWindowFlags(FixedSizeFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                  Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                  Qt::WindowCloseButtonHint));
    setFixedSize(536, 483);
    setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    setWhite(this);
    setMouseTracking(true);

    QFont buttonFont(QStringLiteral("Arial"));
    buttonFont.setPointSizeF(11.25);
    buttonFont.setBold(true);

    auto makeFrame = [this](const char* name, const char* caption, QRect geometry) {
        auto* frame = new FrameBox(QString::fromLatin1(caption), this);
        frame->setObjectName(QString::fromLatin1(name));
        frame->setGeometry(geometry);
        setWhite(frame);
        frame->setMouseTracking(true);
        frame->installEventFilter(this);
        return frame;
    };
    auto makeButton = [&](const char* name, const char* caption, QWidget* container,
                          QRect geometry) {
        auto* button = new CaptionButton(QString::fromLatin1(caption), container);
        button->setObjectName(QString::fromLatin1(name));
        button->setGeometry(geometry);
        button->setFont(buttonFont);
        QPalette palette = button->palette();
        palette.setColor(QPalette::Button, kWhite);
        palette.setColor(QPalette::ButtonText, textOnWhite(QPalette::ButtonText));
        button->setPalette(palette);
        button->setMouseTracking(true);
        button->installEventFilter(this);
        return button;
    };

    m_helpFrame = makeFrame("Frame2", "Help", twipsRect(120, 120, 7800, 915));
    m_listFileHelpButton = makeButton("PushButton1", "What should text file look like?",
                                      m_helpFrame, twipsRect(240, 300, 7320, 405));

    m_list = new InputList(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    m_list->setGeometry(twipsRect(120, 1140, 7800, 2535));
    m_list->setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    m_list->setPalette(listPalette());
    m_list->setToolTip(
        QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line to "
                       "right and out of window to reveal full names."));
    m_list->setAccessibleName(QStringLiteral("Text File(s)"));
    m_list->setAccessibleDescription(m_list->toolTip());

    m_addFilesButton =
        makeButton("PushButton4", "Add Text File(s)", this, twipsRect(120, 3765, 3840, 405));
    m_addFolderButton = makeButton("PushButton3", "Add All Text File(s) In Folder", this,
                                   twipsRect(4080, 3765, 3840, 405));
    m_clearListButton =
        makeButton("PushButton6", "Clear List", this, twipsRect(120, 4290, 3840, 405));
    m_loadSamplesButton = makeButton("PushButton7", "Load Sample/Example Files", this,
                                     twipsRect(4080, 4290, 3840, 405));

    m_contentFrame = makeFrame("Frame1", "File Content Option", twipsRect(120, 4770, 7800, 1305));
    m_fixedTextLabel = new QLabel(
        QStringLiteral("Put this fixed text content in each file after created (or leave blank):"),
        m_contentFrame);
    m_fixedTextLabel->setObjectName(QStringLiteral("Label1"));
    // The caption is a few pixels wider than the design's label in Arial's metric twin: the
    // label grows to the right, into free space of the frame, instead of clipping its ":".
    const QRect designed = twipsRect(240, 240, 5685, 225);
    m_fixedTextLabel->setGeometry(designed.x(), designed.y(),
                                  qBound(designed.width(), m_fixedTextLabel->sizeHint().width(),
                                         m_contentFrame->width() - 2 * designed.x()),
                                  designed.height());
    setWhite(m_fixedTextLabel);

    m_fixedTextBox = new QPlainTextEdit(m_contentFrame);
    m_fixedTextBox->setObjectName(QStringLiteral("Text1"));
    m_fixedTextBox->setGeometry(twipsRect(240, 480, 4935, 675));
    m_fixedTextBox->setAccessibleName(m_fixedTextLabel->text());
    // Tab moves on to the next control, as in every single-purpose text field of a form.
    m_fixedTextBox->setTabChangesFocus(true);
    m_fixedTextBox->setMouseTracking(true);
    m_fixedTextBox->viewport()->setMouseTracking(true);
    m_fixedTextBox->installEventFilter(this);
    m_fixedTextBox->viewport()->installEventFilter(this);

    m_dynamicTextHelpButton = makeButton("PushButton5", "How to add Dynamic Text Content",
                                         m_contentFrame, twipsRect(5280, 480, 2280, 675));
    m_startButton =
        makeButton("PushButton2", "Start Creating Files", this, twipsRect(120, 6195, 7800, 405));

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar->setGeometry(twipsRect(120, 6720, 7800, 405));
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(true);
    m_progressBar->setAlignment(Qt::AlignCenter);
    m_progressBar->setFormat(QStringLiteral("Progress Bar"));
    m_progressBar->setAccessibleName(QStringLiteral("Progress"));

    // Tab order of the design; frames, the label and the bar take no focus.
    QWidget* order[] = {m_list,
                        m_fixedTextBox,
                        m_addFilesButton,
                        m_addFolderButton,
                        m_startButton,
                        m_clearListButton,
                        m_loadSamplesButton,
                        m_dynamicTextHelpButton,
                        m_listFileHelpButton};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) {
        setTabOrder(order[i], order[i + 1]);
    }
}

void MainWindow::connectHandlers() {
    connect(m_fixedTextBox, &QPlainTextEdit::textChanged, this, &MainWindow::onFixedTextChanged);
    connect(m_startButton, &QPushButton::clicked, this, &MainWindow::onStartClicked);
    connect(m_listFileHelpButton, &QPushButton::clicked, this,
            [this] { onListFileHelpClicked(m_context); });
    connect(m_dynamicTextHelpButton, &QPushButton::clicked, this,
            [this] { onDynamicTextHelpClicked(m_context); });
    connect(m_loadSamplesButton, &QPushButton::clicked, this,
            [this] { onLoadSamplesClicked(m_context); });
    connect(m_addFolderButton, &QPushButton::clicked, this,
            [this] { onAddFolderClicked(m_context, m_fs); });
    connect(m_addFilesButton, &QPushButton::clicked, this,
            [this] { onAddFilesClicked(m_context, m_fs); });
    connect(m_clearListButton, &QPushButton::clicked, this,
            [this] { onClearListClicked(m_context); });
}

void MainWindow::onStartUp() {
    Trap trap(locations::kFormLoad, m_context.report);
    trap.step(100, [&] { applySkin(); });
    trap.step(104, [&] { setWindowTitle(QString::fromLatin1(product::kProductName)); });
    trap.step(104, [&] { setWindowIcon(QIcon(QStringLiteral(":/pellatrix/pellatrix.png"))); });
    trap.step(104, [&] {
        m_applicationTitle = DeriveApplicationTitle(QString::fromLatin1(product::kProductName));
    });
    if (trap.test(106, [&] { return PathExists(m_fs, bytes(m_programFolder + "/HAND-M.CUR")); })) {
        trap.step(108, [&] { loadHandPointer(); });
    }
    trap.step(110, [&] {
        if (m_platform.drawOneToHundred() == 7) {
            m_platform.openHomePage(QString::fromLatin1(product::kHomePage));
        }
    });

    recordSampleFilesIfMissing(trap, 110, m_context);
    recordSampleFilesIfMissing(trap, 126, m_context);

    trap.step(128, [&] { m_list->setHeaderLabels({QStringLiteral("Text File(s)")}); });
    trap.step(130, [&] { m_list->setColumnWidth(0, px(7000)); });
    trap.step(132, [&] {
        // Only a real change of the box's content counts as a change (and is stored back).
        const QString saved = m_settings.GetSetting(QStringLiteral("Text1"), QString());
        if (saved != fixedText()) {
            m_fixedTextBox->setPlainText(saved);
        }
    });
}

void MainWindow::applySkin() {
    const QString skin = m_programFolder + QStringLiteral("/x/o.cjs");
    if (!QFileInfo(skin).isFile()) {
        return;
    }
    const QColor face = QApplication::palette().color(QPalette::Button);
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    for (QWidget* w :
         {static_cast<QWidget*>(this), static_cast<QWidget*>(m_contentFrame),
          static_cast<QWidget*>(m_helpFrame), static_cast<QWidget*>(m_fixedTextLabel)}) {
        setColours(w, face, text);
    }
    std::string sheet;
    m_fs.readFile(bytes(skin), [&](std::string_view chunk) { sheet.append(chunk); });
    setStyleSheet(QString::fromLocal8Bit(sheet));
}

void MainWindow::loadHandPointer() {
    const QString path = m_programFolder + QStringLiteral("/HAND-M.CUR");
    std::string data;
    m_fs.readFile(bytes(path), [&](std::string_view chunk) { data.append(chunk); });
    const QImage image = QImage::fromData(reinterpret_cast<const uchar*>(data.data()),
                                          static_cast<int>(data.size()), "cur");
    if (image.isNull()) {
        throw FsError(kErrPathFileAccess, "Cannot load the pointer image '" + bytes(path) + "'");
    }
    // The hot spot sits in the cursor file's directory entry; Qt's reader does not pass it on.
    int hotX = 0;
    int hotY = 0;
    const auto u16 = [&](std::size_t at) {
        return static_cast<int>(static_cast<unsigned char>(data[at]) |
                                (static_cast<unsigned char>(data[at + 1]) << 8));
    };
    if (data.size() >= 22 && u16(2) == 2) {
        hotX = qBound(0, u16(10), image.width() - 1);
        hotY = qBound(0, u16(12), image.height() - 1);
    }
    m_handCursor = QCursor(QPixmap::fromImage(image), hotX, hotY);
    m_handLoaded = true;
}

QString MainWindow::fixedText() const {
    // toPlainText() would turn no-break spaces into blanks; the files get what was typed.
    QString text = m_fixedTextBox->document()->toRawText();
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
            c = QLatin1Char('\n');
        }
    }
    return text;
}

int MainWindow::pointerState() const {
    switch (cursor().shape()) {
        case Qt::WaitCursor:
            return kPointerBusy;
        case Qt::BitmapCursor:
            return kPointerCustom;
        default:
            // Without a hand image the custom pointer is the arrow too.
            return !m_handLoaded && m_pointerState == kPointerCustom ? kPointerCustom
                                                                     : kPointerDefault;
    }
}

void MainWindow::setPointerState(int state) {
    m_pointerState = state;
    if (state == kPointerBusy) {
        setCursor(Qt::WaitCursor);
    } else if (state == kPointerCustom) {
        setCursor(m_handCursor);
    } else {
        setCursor(Qt::ArrowCursor);
    }
}

bool MainWindow::runInProgress() const {
    return m_creationRun->runInProgress();
}

void MainWindow::hoverButton() {
    if (pointerState() != kPointerBusy) {
        setPointerState(kPointerCustom);
    }
}

void MainWindow::hoverBackground() {
    if (pointerState() != kPointerBusy) {
        setPointerState(kPointerDefault);
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove && watched->isWidgetType()) {
        hoverAt(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    hoverAt(event->globalPosition().toPoint());
    QWidget::mouseMoveEvent(event);
}

void MainWindow::hoverAt(const QPoint& globalPos) {
    // A move that a button ignores travels on to its frame and the window; deciding by the
    // control under the mouse keeps the handlers of the design: the innermost control's own.
    for (QWidget* w = childAt(mapFromGlobal(globalPos)); w != nullptr && w != this;
         w = w->parentWidget()) {
        if (dynamic_cast<CaptionButton*>(w) != nullptr) {  // every button of the window
            hoverButton();
            return;
        }
        if (w == m_fixedTextBox || w == m_contentFrame || w == m_helpFrame) {
            hoverBackground();
            return;
        }
        if (w == m_fixedTextLabel || w == m_list || w == m_progressBar) {
            return;  // no pointer handler of ours (the list has its own)
        }
    }
    hoverBackground();
}

void MainWindow::onFixedTextChanged() {
    // Typing never waits for the store: while another copy holds its lock the text stays
    // pending and goes in at the next change, from the retry timer or at closing.
    m_fixedTextPending = true;
    storePendingText(0);
}

void MainWindow::storePendingText(int lockWaitMs) {
    if (!m_fixedTextPending) {
        return;
    }
    try {
        m_settings.SaveSetting(QStringLiteral("Text1"), fixedText(), lockWaitMs);
        m_fixedTextPending = false;
        m_storeRetry->stop();
        tellStoreDelay(QString());
        if (m_closeRequested) {
            // The close that waited for the store goes on.
            QTimer::singleShot(0, this, &QWidget::close);
        }
    } catch (const std::exception& e) {
        m_storeRetry->start();
        // Told beside the window, never in a modal box: a box would take the keys typed next.
        m_storeDelay = QString::fromLocal8Bit(e.what());
        tellStoreDelay(storeDelayText());
    }
}

QString MainWindow::storeDelayText() const {
    if (m_closeRequested) {
        return QStringLiteral(
                   "The window closes as soon as the fixed text is stored. It cannot be stored "
                   "yet:\r%1\r\rClose the window again to close it without storing the text.")
            .arg(m_storeDelay);
    }
    return QStringLiteral(
               "The fixed text is not stored yet:\r%1\r\rIt is kept, and stored as soon as the "
               "settings can be written.")
        .arg(m_storeDelay);
}

void MainWindow::tellStoreDelay(const QString& text) {
    if (text == m_storeNotice) {
        return;  // one notice per state, not one per keystroke or retry
    }
    m_storeNotice = text;
    // A notice of the start-up waits for the window, over which it is shown.
    if (isVisible()) {
        m_platform.notice(this, m_applicationTitle, text);
    }
}

void MainWindow::addListFiles(const std::vector<std::string>& paths) {
    // A name that reaches nothing is told now, in one box, rather than as a failure of the
    // run much later; it is not added.
    std::vector<std::string> found;
    QStringList missing;
    for (const std::string& path : paths) {
        if (PathExists(m_fs, path)) {
            found.push_back(path);
        } else {
            missing << QString::fromLocal8Bit(path);
        }
    }
    onPathsDropped(m_context, m_fs, found);
    if (missing.size() == 1) {
        m_platform.information(
            this, m_applicationTitle,
            QStringLiteral("The list file \"%1\" was not found.").arg(missing.first()));
    } else if (!missing.isEmpty()) {
        m_platform.information(
            this, m_applicationTitle,
            QStringLiteral("These list files were not found:\r") + missing.join(QLatin1Char('\r')));
    }
}

void MainWindow::onStartClicked() {
    if (!runInProgress() && !prepareContent()) {
        return;
    }
    m_creationRun->createFiles();
}

bool MainWindow::prepareContent() {
    std::vector<std::string> lists;
    for (int i = 1; i <= m_list->entryCount(); ++i) {
        lists.push_back(m_list->entryBytes(i));
    }
    return m_textSource->prepare(*m_creationRun, bytes(fixedText()), lists);
}

void MainWindow::yieldToEvents() {
    YieldToEvents();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A fixed text not stored yet keeps the window open until it is (a moment's wait first);
    // a second close ends without it, as the notice says.
    if (m_fixedTextPending && !m_closeRequested) {
        storePendingText(kCloseLockWaitMs);
        if (m_fixedTextPending) {
            m_closeRequested = true;
            tellStoreDelay(storeDelayText());
            event->ignore();
            return;
        }
    }
    event->accept();
    m_storeRetry->stop();
    tellStoreDelay(QString());
    // Closed from inside a run or a folder scan (while it lets events through): end here. Every
    // file written so far is complete and every setting is stored, so nothing is lost.
    if (runInProgress() || pointerState() == kPointerBusy) {
        if (m_endProcess) {
            m_endProcess();
        }
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    if (!m_shownOnce) {
        m_shownOnce = true;
        if (!m_storeNotice.isEmpty()) {
            m_platform.notice(this, m_applicationTitle, m_storeNotice);
        }
        // The input list comes first in the tab order and is where work starts.
        m_list->setFocus(Qt::OtherFocusReason);
    }
    QWidget::showEvent(event);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::CursorChange) {
        showWaitOverOwnPointers(cursor().shape() == Qt::WaitCursor);
    }
    return QWidget::event(event);
}

void MainWindow::showWaitOverOwnPointers(bool busy) {
    // A control with a pointer of its own (the text box's I-beam) would show it over a busy
    // window; while busy it shows the wait pointer and gets its own back afterwards.
    if (busy && m_ownPointers.isEmpty()) {
        for (QWidget* w : findChildren<QWidget*>()) {
            if (!w->isWindow() && w->testAttribute(Qt::WA_SetCursor)) {
                m_ownPointers.append({w, w->cursor()});
                w->setCursor(Qt::WaitCursor);
            }
        }
    } else if (!busy) {
        for (const auto& [widget, own] : std::as_const(m_ownPointers)) {
            // One that chose another pointer meanwhile keeps it.
            if (widget && widget->cursor().shape() == Qt::WaitCursor) {
                widget->setCursor(own);
            }
        }
        m_ownPointers.clear();
    }
}

}  // namespace pellatrix
