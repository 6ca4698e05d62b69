#include "window/MainWindow.h"

#include "window/GuiReporter.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/Settings.h"
#include "verification/RunSummary.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace vf {
namespace {

const QString kAccessFilter =
    QStringLiteral("Base de données Access|*.mdb|Base Access 2007|*.accdb");
const QString kLettersFilter = QStringLiteral("Courriers Velquor|*.rtf");
const QString kKestruneFilter = QStringLiteral("Base de données Brantovelum|Kestrune.ver");

QFrame* makePanel(const QString& name, QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    return panel;
}

QLabel* makeLabel(const QString& name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QToolButton* makePickerButton(const QString& name, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setIcon(parent->style()->standardIcon(QStyle::SP_DirOpenIcon));
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus); // picture buttons take no part in the tab order
    return button;
}

QString folderWithSeparator(const QString& chosenFile)
{
    return AddTrailingBackslash(QDir::toNativeSeparators(QFileInfo(chosenFile).absolutePath()));
}

// The status line: a text too long for its place ends in "…" rather than running under the
// elapsed time beside it (the whole text stays the label's).
class StatusLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.drawText(area, int(alignment()), fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
    }
};

#ifndef _WIN32
// The file list of Qt's own file dialog shows its dates as the system's locale writes them,
// which outside a French session is English: the dates are written in French, as the dialog.
class FrenchDates : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role == Qt::DisplayRole && index.column() == 3 && files)
            return QLocale(QLocale::French, QLocale::France)
                .toString(files->lastModified(mapToSource(index)), QLocale::ShortFormat);
        return QIdentityProxyModel::data(index, role);
    }
};
#endif

} // namespace

QString qtNameFilters(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts.at(i + 1);
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters.append(parts.at(i) + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return filters.join(QStringLiteral(";;"));
}

MainWindow::MainWindow(const QString& programFolder, const QString& settingsPath, QWidget* parent)
    : QWidget(parent),
      m_programFolder(programFolder),
      m_settingsPath(settingsPath.isEmpty()
                         ? QDir(programFolder).filePath(QStringLiteral("velquor-fusion.INI"))
                         : settingsPath),
      m_log(programFolder)
{
    buildWidgets();
    GuiReporter::Widgets widgets;
    widgets.window = this;
    widgets.status = m_status;
    widgets.textArea = m_textArea;
    widgets.progress = m_progress;
    widgets.elapsed = m_elapsed;
    widgets.elapsedTimer = m_elapsedTimer;
    widgets.destinationPath = m_talmerosPath;
    widgets.importer = m_importer;
    widgets.fermer = m_fermer;
    widgets.arreter = m_arreter;
    m_reporter = std::make_unique<GuiReporter>(widgets);
    connect(m_elapsedTimer, &QTimer::timeout, this, [this] { m_reporter->tick(); });
    startUp();
}

MainWindow::~MainWindow() = default;

QString MainWindow::caption()
{
    return QStringLiteral("Importation des données de la base Access de Velquor");
}

void MainWindow::buildWidgets()
{
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(caption());
    resize(680, 660);

    // Top area: the three paths and the purge box.
    QFrame* top = makePanel(QStringLiteral("Panel1"), this);
    top->setFixedHeight(129);
    auto* grid = new QGridLayout(top);
    grid->setContentsMargins(8, 4, 8, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(makeLabel(QStringLiteral("Label1"), QStringLiteral("A partir de :"), top), 0, 0, 1, 3);

    auto addPath = [&](int row, const QString& labelName, const QString& labelText,
                       const QString& editName, const QString& text, const QString& buttonName,
                       void (MainWindow::*slot)()) {
        auto* label = makeLabel(labelName, labelText, top);
        auto* edit = new QLineEdit(text, top);
        edit->setObjectName(editName);
        label->setBuddy(edit);
        QToolButton* button = makePickerButton(buttonName, top);
        connect(button, &QToolButton::clicked, this, slot);
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(button, row, 2);
        return edit;
    };
    m_v3Path = addPath(1, QStringLiteral("Label8"), QStringLiteral("- base V3.mdb :"),
                       QStringLiteral("V3Path"), QStringLiteral("C:\\V3.mdb"),
                       QStringLiteral("SpeedButton1"), &MainWindow::pickV3);
    m_courriersPath = addPath(2, QStringLiteral("Label4"), QStringLiteral("- courriers :"),
                              QStringLiteral("CourriersPath"), QStringLiteral("C:\\COURRIER\\"),
                              QStringLiteral("SpeedButton2"), &MainWindow::pickCourriers);
    m_talmerosPath = addPath(3, QStringLiteral("Label2"), QStringLiteral("Dans :"),
                             QStringLiteral("TalmerosPath"), QStringLiteral("C:\\Talmerosin\\Base\\"),
                             QStringLiteral("SpeedButton3"), &MainWindow::pickTalmeros);
    m_vider = new QCheckBox(QStringLiteral("Vider la base avant importation"), top);
    m_vider->setObjectName(QStringLiteral("CBVider"));
    grid->addWidget(m_vider, 4, 1, 1, 2);
    grid->setColumnStretch(1, 1);

    // Middle area: the text area.
    QFrame* middle = makePanel(QStringLiteral("Panel3"), this);
    auto* middleLayout = new QVBoxLayout(middle);
    middleLayout->setContentsMargins(2, 2, 2, 2);
    auto* split = new QSplitter(Qt::Vertical, middle);
    split->setChildrenCollapsible(false);
    m_textArea = new QPlainTextEdit(split);
    m_textArea->setObjectName(QStringLiteral("Memo1"));
    m_textArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_summaryTable = new QTableWidget(split);
    m_summaryTable->setObjectName(QStringLiteral("TableBilan"));
    m_summaryTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_summaryTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_summaryTable->setFocusPolicy(Qt::NoFocus);
    m_summaryTable->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_summaryTable->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    m_summaryTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    m_summaryTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_summaryTable->setVisible(false);
    split->setStretchFactor(0, 1);
    middleLayout->addWidget(split);

    // Bottom area: progress, status line, elapsed time, buttons.
    QFrame* bottom = makePanel(QStringLiteral("Panel2"), this);
    bottom->setFixedHeight(74);
    auto* bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(4, 2, 4, 2);
    bottomLayout->setSpacing(2);
    m_progress = new QProgressBar(bottom);
    m_progress->setObjectName(QStringLiteral("ProgressBar1"));
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(12);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    bottomLayout->addWidget(m_progress);
    m_endNote = makeLabel(QStringLiteral("LblJournal"), QString(), bottom);
    m_endNote->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_endNote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bottomLayout->addWidget(m_endNote);
    auto* row = new QHBoxLayout;
    m_status = new StatusLabel(QStringLiteral("label3"), bottom);
    m_status->setObjectName(QStringLiteral("Label3"));
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_elapsed = makeLabel(QStringLiteral("Label7"), QStringLiteral("00:00:00"), bottom);
    m_importer = new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload),
                                 QStringLiteral("&Importer"), bottom);
    m_importer->setObjectName(QStringLiteral("BitBtn1"));
    m_fermer = new QPushButton(QStringLiteral("&Fermer"), bottom);
    m_fermer->setObjectName(QStringLiteral("BitBtn2"));
    m_verifier = new QPushButton(QStringLiteral("&Vérifier"), bottom);
    m_verifier->setObjectName(QStringLiteral("BtnVerifier"));
    m_verifier->setToolTip(QStringLiteral("Vérifie la migration des chemins affichés, sans rien écrire, "
                                          "et ouvre le rapport dans le navigateur"));
    m_arreter = new QPushButton(QStringLiteral("&Arrêter"), bottom);
    m_arreter->setObjectName(QStringLiteral("BtnArreter"));
    m_arreter->setToolTip(QStringLiteral("Arrête après le lot en cours : la prochaine importation reprend là"));
    m_arreter->setEnabled(false);
    row->addWidget(m_status, 1);
    row->addSpacing(8);
    row->addWidget(m_elapsed);
    row->addSpacing(8);
    row->addWidget(m_verifier);
    row->addWidget(m_arreter);
    row->addWidget(m_importer);
    row->addWidget(m_fermer);
    bottomLayout->addLayout(row);
    // Hidden after the layout took them in (a hidden bar keeps its place in the area).
    m_elapsed->setVisible(false);
    QSizePolicy keep = m_progress->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    m_progress->setSizePolicy(keep);
    m_progress->setVisible(false);

    m_elapsedTimer = new QTimer(this);
    m_elapsedTimer->setObjectName(QStringLiteral("Timer1"));
    m_elapsedTimer->setInterval(1000);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(middle, 1);
    layout->addWidget(bottom);

    setTabOrder(m_v3Path, m_talmerosPath);
    setTabOrder(m_talmerosPath, m_vider);
    setTabOrder(m_vider, m_courriersPath);
    setTabOrder(m_courriersPath, m_textArea);
    setTabOrder(m_textArea, m_verifier);
    setTabOrder(m_verifier, m_arreter);
    setTabOrder(m_arreter, m_importer);
    setTabOrder(m_importer, m_fermer);

    // A click while a run is in progress (its messages are being processed) starts nothing.
    connect(m_importer, &QPushButton::clicked, this, [this] {
        if (!isRunInProgress())
            emit importRequested();
    });
    connect(m_verifier, &QPushButton::clicked, this, [this] {
        if (!isRunInProgress())
            emit verifyRequested();
    });
    connect(m_arreter, &QPushButton::clicked, this, [this] {
        m_arreter->setEnabled(false); // one request is enough
        emit stopRequested();
    });
    connect(m_fermer, &QPushButton::clicked, this, &QWidget::close);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void MainWindow::startUp()
{
    WindowSettings settings = loadWindowSettings(m_settingsPath);
    checkStartupPaths(settings);
    createLinksTablesFolder(m_programFolder);
    deleteLockFiles(m_programFolder);
    m_status->clear();
    m_v3Path->setText(settings.v3);
    m_courriersPath->setText(settings.courrier);
    m_talmerosPath->setText(settings.talmeros);
    m_vider->setChecked(settings.vider);
}

Reporter& MainWindow::reporter()
{
    return *m_reporter;
}

QString MainWindow::v3Path() const { return m_v3Path->text(); }
QString MainWindow::courriersPath() const { return m_courriersPath->text(); }
QString MainWindow::talmerosPath() const { return m_talmerosPath->text(); }
bool MainWindow::vider() const { return m_vider->isChecked(); }
void MainWindow::setV3Path(const QString& text) { m_v3Path->setText(text); }
void MainWindow::setCourriersPath(const QString& text) { m_courriersPath->setText(text); }
void MainWindow::setTalmerosPath(const QString& text) { m_talmerosPath->setText(text); }
void MainWindow::setVider(bool checked) { m_vider->setChecked(checked); }

QString MainWindow::pickerFolder(int picker)
{
#ifdef _WIN32
    return picker == 3 ? QStringLiteral("C:\\Talmerosin\\Base") : QStringLiteral("C:\\");
#else
    Q_UNUSED(picker);
    return QDir::homePath();
#endif
}

QString MainWindow::pickerStart(const QString& fieldText, int picker)
{
    const QFileInfo named(QDir::fromNativeSeparators(fieldText.trimmed()));
    if (!fieldText.trimmed().isEmpty() && named.isAbsolute()) {
        if (named.isDir())
            return QDir::cleanPath(named.absoluteFilePath());
        if (named.absoluteDir().exists())
            return named.absolutePath();
    }
    return pickerFolder(picker);
}

bool MainWindow::openReport(const QString& path)
{
    const QUrl url = QUrl::fromLocalFile(path);
    return m_urlOpener ? m_urlOpener(url) : QDesktopServices::openUrl(url);
}

void MainWindow::showEndNote(const QString& text)
{
    m_endNote->setText(text);
    m_endNote->setToolTip(text);
}

QString MainWindow::pick(const FilePickerRequest& request)
{
    if (m_filePicker)
        return m_filePicker(request);
    QFileDialog dialog(this);
    dialog.setObjectName(request.dialogName);
#ifndef _WIN32
    // Qt's own dialog matches the patterns without regard to case ("V3.MDB", "KESTRUNE.VER").
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setProxyModel(new FrenchDates(&dialog));
#endif
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(qtNameFilters(request.filter).split(QStringLiteral(";;")));
    dialog.setDirectory(request.initialFolder);
    if (!request.presetFileName.isEmpty())
        dialog.selectFile(request.presetFileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

void MainWindow::pickV3()
{
    const QString file = pick({QStringLiteral("OpenDialog1"), kAccessFilter, pickerStart(m_v3Path->text(), 1), QString()});
    if (!file.isEmpty())
        m_v3Path->setText(QDir::toNativeSeparators(file));
}

void MainWindow::pickCourriers()
{
    const QString file = pick({QStringLiteral("OpenDialog2"), kLettersFilter, pickerStart(m_courriersPath->text(), 2), QString()});
    if (!file.isEmpty())
        m_courriersPath->setText(folderWithSeparator(file));
}

void MainWindow::pickTalmeros()
{
    const QString file = pick({QStringLiteral("OpenDialog3"), kKestruneFilter, pickerStart(m_talmerosPath->text(), 3),
                               QStringLiteral("Kestrune.ver")});
    if (!file.isEmpty())
        m_talmerosPath->setText(folderWithSeparator(file));
}

void MainWindow::showSummaryTable(const SummaryTable& table)
{
    m_summaryTable->clear();
    m_summaryTable->setColumnCount(int(table.columns.size()));
    m_summaryTable->setRowCount(int(table.rows.size()));
    // A title of two words on two lines: every column in the window's width.
    QStringList titles;
    for (const QString& title : table.columns)
        titles.append(QString(title).replace(QLatin1Char(' '), QLatin1Char('\n')));
    m_summaryTable->setHorizontalHeaderLabels(titles);
    QStringList kinds;
    for (int row = 0; row < table.rows.size(); ++row) {
        const SummaryTable::Row& figures = table.rows.at(row);
        kinds.append(figures.kind);
        for (int column = 0; column < figures.figures.size(); ++column) {
            auto* item = new QTableWidgetItem(QString::number(figures.figures.at(column)));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            m_summaryTable->setItem(row, column, item);
        }
    }
    m_summaryTable->setVerticalHeaderLabels(kinds);
    m_summaryTable->setVisible(!table.rows.isEmpty());
    // Every row in sight, the text area keeping the rest of the middle area.
    auto* split = static_cast<QSplitter*>(m_summaryTable->parentWidget());
    const int tableHeight = m_summaryTable->sizeHint().height() + 2 * m_summaryTable->frameWidth();
    const int whole = split->height();
    split->setSizes({std::max(whole / 3, whole - tableHeight), std::min(tableHeight, whole * 2 / 3)});
}

void MainWindow::showErrorBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Erreur"), text, QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setDefaultButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    box.exec();
}

void MainWindow::beginActivity(Activity activity)
{
    // The last attempt's lines stay in its log; a log that cannot be written keeps them here.
    bool kept = true;
    try {
        m_log.dumpLines(m_reporter->lines());
    } catch (const Error& error) {
        showErrorBox(error.message());
        kept = false;
    }
    if (kept)
        m_reporter->clearLines();
    m_summaryTable->setVisible(false);
    showEndNote(QString());
    m_activity = activity;
    m_verifier->setEnabled(false);
    m_arreter->setEnabled(true);
    if (activity == Activity::Verification)
        m_importer->setEnabled(false);
}

void MainWindow::endActivity()
{
    m_activity = Activity::Idle;
    m_verifier->setEnabled(true);
    m_arreter->setEnabled(false);
    m_importer->setEnabled(m_reporter->controls().importerEnabled);
    m_fermer->setEnabled(m_reporter->controls().fermerEnabled);
    if (m_closeRequested)
        close();
}

void MainWindow::endProgramAtOnce()
{
    m_endingAtOnce = true;
    m_reporter->setClosing(true);
    close();
}

void MainWindow::closeTimeSteps()
{
    // The text area goes to the import log. A log that cannot be written is reported, and the
    // window closes all the same: otherwise it could never be closed.
    try {
        m_log.dumpLines(m_reporter->lines());
    } catch (const Error& error) {
        showErrorBox(error.message());
    }
    deleteLockFiles(m_programFolder);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_endingAtOnce || m_closed) {
        event->accept();
        return;
    }
    if (isRunInProgress()) {
        // A run goes on and the window closes when it returns; a verification, which writes
        // nothing, is stopped.
        m_closeRequested = true;
        m_reporter->setClosing(true);
        if (m_activity == Activity::Verification)
            emit stopRequested();
        event->ignore();
        return;
    }
    closeTimeSteps();
    m_closed = true;
    event->accept();
}

} // namespace vf
