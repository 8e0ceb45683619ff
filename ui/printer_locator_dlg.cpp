#include "printer_locator_dlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>
#include <vector>

#include "accessibility.h"
#include "program_icon.h"
#include "trace_log.h"

namespace {

constexpr int MIN_OUTER_WIDTH = 382;
constexpr int MIN_OUTER_HEIGHT = 382;
constexpr int COLUMN_PRINTER_WIDTH = 190;
constexpr int COLUMN_ADDRESS_WIDTH = 180;

std::u16string_view View(const QString& str) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(str.utf16()),
                               static_cast<size_t>(str.size()));
}

QString ToQString(const std::u16string& str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}

}  // namespace

// Sees every key the application gets, so that the window's keys also act
// while one of its modal dialogs, a message box or a menu has the keyboard.
class CPrinterLocatorDlg::CKeyRouter : public QObject {
public:
    explicit CKeyRouter(CPrinterLocatorDlg* pWnd) : QObject(pWnd), m_pWnd(pWnd) {}

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override {
        const QEvent::Type type = pEvent->type();
        if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return false;
        auto* pWidget = qobject_cast<QWidget*>(pWatched);
        if (pWidget == nullptr || !OpenedFromWindow(pWidget->window())) return false;
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        QAction* pAction = m_pWnd->FindCommandForKey(QKeySequence(pKey->keyCombination()));
        if (pAction == nullptr) return false;
        // A selection in a text field is there to be copied.
        if (pKey->matches(QKeySequence::Copy)) {
            if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget);
                pEdit != nullptr && pEdit->hasSelectedText()) {
                return false;
            }
        }
        // Claiming the override keeps the dialog's own shortcuts from taking
        // the key; the press that follows is where the command runs.
        pEvent->accept();
        if (type == QEvent::ShortcutOverride || !pAction->isEnabled()) return true;
        if (pWidget->window()->windowType() == Qt::Popup) {
            // A command given from an open menu ends the menu first; it runs
            // once the menu's own loop has returned.
            while (QWidget* pPopup = QApplication::activePopupWidget()) {
                if (!pPopup->close()) break;
            }
            QTimer::singleShot(0, pAction, &QAction::trigger);
        } else {
            pAction->trigger();
        }
        return true;
    }

private:
    // A modal window or menu whose owner chain leads to the main window.
    bool OpenedFromWindow(QWidget* pWindow) const {
        if (pWindow == m_pWnd || !m_pWnd->isVisible()) return false;
        if (pWindow->windowType() != Qt::Popup && !pWindow->isModal()) return false;
        for (QWidget* p = pWindow->parentWidget(); p != nullptr; p = p->parentWidget()) {
            if (p == m_pWnd) return true;
        }
        return false;
    }

    CPrinterLocatorDlg* m_pWnd;
};

CPrinterLocatorDlg::CPrinterLocatorDlg(const ProviderFactory& fnCreateProviders, QWidget* pParent)
    : QDialog(pParent) {
    m_hIcon = LoadProgramIcon();  // built into the program
    m_searchOptions.Load();       // a missing file leaves both methods on
    m_pScan = std::make_unique<CPrinterScan>(fnCreateProviders ? fnCreateProviders() : ProviderArray{});

    setWindowTitle(QStringLiteral("Halvet Printer Locator"));
    setSizeGripEnabled(false);  // the status bar brings its own grip
    // An overlapped, resizable top-level window with minimize and maximize boxes.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);

    m_pMenuBar = new QMenuBar(this);
    m_pMenuActions = m_pMenuBar->addMenu(tr("&Actions"));
    AddCommand(m_pMenuActions, tr("&Scan Network"), ID_ACTIONS_SCANNETWORK, QKeySequence(Qt::Key_F5));
    AddCommand(m_pMenuActions, tr("S&top Scan"), ID_ACTIONS_STOPSCAN, QKeySequence(Qt::CTRL | Qt::Key_C));
    AddCommand(m_pMenuActions, tr("&Options"), ID_ACTIONS_OPTIONS, QKeySequence(Qt::CTRL | Qt::Key_O));
    m_pMenuActions->addSeparator();
    AddCommand(m_pMenuActions, tr("&Exit"), ID_ACTIONS_EXIT, QKeySequence(Qt::ALT | Qt::Key_F4));
    m_pMenuPrinter = m_pMenuBar->addMenu(tr("&Printer"));
    AddCommand(m_pMenuPrinter, tr("&Details"), ID_PRINTER_DETAILS, QKeySequence(Qt::CTRL | Qt::Key_D));
    m_pMenuHelp = m_pMenuBar->addMenu(QStringLiteral("?"));
    AddCommand(m_pMenuHelp, tr("&Help"), ID_HELP_HELP, QKeySequence(Qt::Key_F1));
    m_pMenuHelp->addSeparator();
    AddCommand(m_pMenuHelp, tr("&About"), ID_HELP_ABOUT, QKeySequence());
    pLayout->setMenuBar(m_pMenuBar);

    m_listPrinters = new QTreeWidget(this);
    m_listPrinters->setObjectName(QStringLiteral("listPrinters"));
    m_listPrinters->setAccessibleName(tr("Printers"));
    m_listPrinters->setAccessibleDescription(tr("The printers the last scan found, by name and IP address."));
    m_listPrinters->setColumnCount(2);
    m_listPrinters->setHeaderLabels({tr("Printer"), tr("IP Address")});
    m_listPrinters->setRootIsDecorated(false);
    m_listPrinters->setItemsExpandable(false);
    m_listPrinters->setUniformRowHeights(true);
    m_listPrinters->setAllColumnsShowFocus(true);
    m_listPrinters->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listPrinters->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listPrinters->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_listPrinters->setSortingEnabled(false);  // sorted by SortPrinterList, with the program's comparison
    m_listPrinters->setColumnWidth(0, COLUMN_PRINTER_WIDTH);
    m_listPrinters->setColumnWidth(1, COLUMN_ADDRESS_WIDTH);
    QHeaderView* pHeader = m_listPrinters->header();
    pHeader->setSectionsClickable(true);
    pHeader->setSectionsMovable(false);
    pHeader->setStretchLastSection(false);
    pHeader->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pHeader->setSortIndicatorShown(false);
    QTreeWidgetItem* pHeaderItem = m_listPrinters->headerItem();
    pHeaderItem->setData(0, Qt::AccessibleDescriptionRole,
                         tr("Sorts the list by printer name; each click reverses the order."));
    pHeaderItem->setData(1, Qt::AccessibleDescriptionRole,
                         tr("Sorts the list by IP address; each click reverses the order."));
    connect(pHeader, &QHeaderView::sectionClicked, this, [this](int nColumn) { SortPrinterList(nColumn); });
    // Details open on a double click only: 'activated' also fires on Return,
    // and Return does nothing in this window.
    connect(m_listPrinters, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { OnDetails(); });
    m_listPrinters->installEventFilter(this);
    m_listPrinters->viewport()->installEventFilter(this);
    pLayout->addWidget(m_listPrinters, 1);

    m_wndStatusBar = new QStatusBar(this);
    m_wndStatusBar->setAccessibleName(tr("Status"));
    m_wndStatusBar->setAccessibleDescription(tr("Whether a scan runs, and how many printers it found."));
    m_pStatusPane = new CStatusPane(m_wndStatusBar);
    m_pStatusPane->setObjectName(QStringLiteral("statusPane"));
    m_wndStatusBar->addPermanentWidget(m_pStatusPane, 1);
    pLayout->addWidget(m_wndStatusBar);

    connect(m_pMenuPrinter, &QMenu::aboutToShow, this, &CPrinterLocatorDlg::OnPrinterMenuAboutToShow);

    m_pTimer = new QTimer(this);
    m_pTimer->setInterval(CPrinterScan::TICK_PERIOD);
    connect(m_pTimer, &QTimer::timeout, this, &CPrinterLocatorDlg::OnTimer);

    if (!m_hIcon.isNull()) setWindowIcon(m_hIcon);
    GetAction(ID_ACTIONS_STOPSCAN)->setEnabled(false);
    setMinimumSize(MIN_OUTER_WIDTH, MIN_OUTER_HEIGHT);
    resize(MIN_OUTER_WIDTH, MIN_OUTER_HEIGHT);

    m_pKeyRouter = new CKeyRouter(this);
    qApp->installEventFilter(m_pKeyRouter);
}

CPrinterLocatorDlg::~CPrinterLocatorDlg() {
    qApp->removeEventFilter(m_pKeyRouter);
    m_pTimer->stop();
    m_pScan->Shutdown();  // stops every provider, in order
    m_searchOptions.Save();
    TraceMessage(TRACE_INFO, nullptr, u"%s finished.", PRODUCT_NAME);
}

QAction* CPrinterLocatorDlg::AddCommand(QMenu* pMenu, const QString& strText, int nCommand,
                                        const QKeySequence& key) {
    QAction* pAction = pMenu->addAction(strText);
    pAction->setData(nCommand);
    if (!key.isEmpty()) {
        pAction->setShortcut(key);
        // The keys act on the whole window, whichever child has the focus.
        pAction->setShortcutContext(Qt::WindowShortcut);
    }
    switch (nCommand) {
        case ID_ACTIONS_SCANNETWORK:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::StartScan);
            break;
        case ID_ACTIONS_STOPSCAN:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::StopScan);
            break;
        case ID_ACTIONS_OPTIONS:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::OnOptions);
            break;
        case ID_ACTIONS_EXIT:
            connect(pAction, &QAction::triggered, this, [this] { done(0); });
            break;
        case ID_PRINTER_DETAILS:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::OnDetails);
            break;
        case ID_HELP_HELP:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::OnHelp);
            break;
        case ID_HELP_ABOUT:
            connect(pAction, &QAction::triggered, this, &CPrinterLocatorDlg::OnAbout);
            break;
        default:
            break;
    }
    return pAction;
}

QAction* CPrinterLocatorDlg::GetAction(int nCommand) const {
    for (QMenu* pMenu : {m_pMenuActions, m_pMenuPrinter, m_pMenuHelp}) {
        for (QAction* pAction : pMenu->actions()) {
            if (!pAction->isSeparator() && pAction->data().toInt() == nCommand) return pAction;
        }
    }
    return nullptr;
}

QAction* CPrinterLocatorDlg::FindCommandForKey(const QKeySequence& key) const {
    for (QMenu* pMenu : {m_pMenuActions, m_pMenuPrinter, m_pMenuHelp}) {
        for (QAction* pAction : pMenu->actions()) {
            if (!pAction->shortcut().isEmpty() &&
                pAction->shortcut().matches(key) == QKeySequence::ExactMatch) {
                return pAction;
            }
        }
    }
    return nullptr;
}

void CPrinterLocatorDlg::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    if (!m_bInitialised) {
        m_bInitialised = true;
        OnInitDialog();
    }
    UpdateMinimumSize();
    // A window manager reports its frame only after mapping the window.
    QTimer::singleShot(0, this, [this] { UpdateMinimumSize(); });
}

void CPrinterLocatorDlg::OnInitDialog() {
    TraceMessage(TRACE_INFO, nullptr, u"%s started.", PRODUCT_NAME);
    m_pTimer->start();  // never stopped while the window lives
}

void CPrinterLocatorDlg::resizeEvent(QResizeEvent* pEvent) {
    QDialog::resizeEvent(pEvent);
    UpdateMinimumSize();
}

void CPrinterLocatorDlg::UpdateMinimumSize() {
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize minimum(std::max(0, MIN_OUTER_WIDTH - frame.width()),
                        std::max(0, MIN_OUTER_HEIGHT - frame.height()));
    if (minimumSize() != minimum) setMinimumSize(minimum);
}

void CPrinterLocatorDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    OnContextMenu(pEvent->globalPos());
}

bool CPrinterLocatorDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pWatched == m_listPrinters && pEvent->type() == QEvent::KeyPress) {
        // A grayed item's key does nothing, but Qt hands it on to the list,
        // which would copy its current cell on Ctrl+C: Stop Scan owns that key.
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->matches(QKeySequence::Copy)) return true;
        const QAction* pAction = FindCommandForKey(QKeySequence(pKey->keyCombination()));
        if (pAction != nullptr && !pAction->isEnabled()) return true;
    }
    if (pWatched == m_listPrinters->viewport() && pEvent->type() == QEvent::MouseButtonPress) {
        // A click below the rows clears the selection, as in a list view, so a
        // right click there offers no row and Ctrl+D opens nothing.
        const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (m_listPrinters->itemAt(pMouse->position().toPoint()) == nullptr) m_listPrinters->clearSelection();
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

void CPrinterLocatorDlg::SetScanning(bool bScanning) {
    m_listPrinters->setEnabled(!bScanning);
    GetAction(ID_ACTIONS_SCANNETWORK)->setEnabled(!bScanning);
    GetAction(ID_ACTIONS_STOPSCAN)->setEnabled(bScanning);
}

void CPrinterLocatorDlg::StartScan() {
    m_bAnnouncePending = false;
    SetStatusText(tr("Searching..."));
    SetScanning(true);
    // The rows stay until the next rebuild.
    m_pScan->StartScan(m_searchOptions);
}

void CPrinterLocatorDlg::StopScan() {
    m_pScan->StopScan();
    // The status text follows at the next tick.
    SetScanning(false);
}

void CPrinterLocatorDlg::OnTimer() {
    const int32_t nSearching = m_pScan->Tick();
    if (nSearching == 0) ShowScanResult();
    RefreshPrinterList();
}

void CPrinterLocatorDlg::ShowScanResult() {
    // The rows shown, read before this tick's rebuild.
    const int n = m_listPrinters->topLevelItemCount();
    const bool bScanEnded = m_pStatusPane->text() == tr("Searching...");
    SetStatusText(n == 1 ? tr("%1 device found.").arg(n) : tr("%1 devices found.").arg(n));
    // The end of a scan is news for a screen reader. It is told one tick
    // later, once the count has caught up with the rows the last tick added.
    if (m_bAnnouncePending) {
        m_bAnnouncePending = false;
        m_pStatusPane->Announce();
    }
    if (bScanEnded) m_bAnnouncePending = true;
    SetScanning(false);
}

void CPrinterLocatorDlg::SetStatusText(const QString& strText) {
    if (CompareNoCase(View(m_pStatusPane->text()), View(strText)) != 0) m_pStatusPane->setText(strText);
}

QString CPrinterLocatorDlg::GetStatusText() const {
    return m_pStatusPane->text();
}

void CPrinterLocatorDlg::RefreshPrinterList() {
    const CPrinterList& printers = m_pScan->GetPrinterList();
    const int32_t n = printers.GetCount();
    if (n == m_nShownCount) return;
    m_listPrinters->clear();
    QList<QTreeWidgetItem*> aItems;
    aItems.reserve(n);
    for (const PrinterData& printer : printers.GetPrinters()) {
        auto* pItem = new QTreeWidgetItem();
        pItem->setText(0, ToQString(printer.strName));
        pItem->setText(1, ToQString(printer.strIpAddress));
        aItems.append(pItem);
    }
    m_listPrinters->addTopLevelItems(aItems);
    // The rows are in the order of adding again: no column is sorted now.
    m_listPrinters->header()->setSortIndicatorShown(false);
    m_nShownCount = n;
}

void CPrinterLocatorDlg::SortPrinterList(int nColumn) {
    // One direction state for both columns: every click reverses it.
    const bool bAscending = m_nSortState != 0;
    m_nSortState = bAscending ? 0 : 1;
    const int nSortColumn = nColumn == 0 ? 0 : 1;

    QTreeWidgetItem* pSelected = nullptr;
    const QList<QTreeWidgetItem*> aSelected = m_listPrinters->selectedItems();
    if (!aSelected.isEmpty()) pSelected = aSelected.first();
    QTreeWidgetItem* pCurrent = m_listPrinters->currentItem();

    std::vector<QTreeWidgetItem*> aItems;
    while (m_listPrinters->topLevelItemCount() > 0) aItems.push_back(m_listPrinters->takeTopLevelItem(0));
    std::stable_sort(aItems.begin(), aItems.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        const QString strA = a->text(nSortColumn);
        const QString strB = b->text(nSortColumn);
        return bAscending ? CompareNoCase(View(strA), View(strB)) < 0
                          : CompareNoCase(View(strB), View(strA)) < 0;
    });
    QList<QTreeWidgetItem*> aSorted(aItems.begin(), aItems.end());
    m_listPrinters->addTopLevelItems(aSorted);
    // The selection moves with its row.
    if (pCurrent) m_listPrinters->setCurrentItem(pCurrent, 0, QItemSelectionModel::NoUpdate);
    if (pSelected) pSelected->setSelected(true);

    QHeaderView* pHeader = m_listPrinters->header();
    pHeader->setSortIndicatorShown(true);
    pHeader->setSortIndicator(nSortColumn, bAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

std::optional<PrinterData> CPrinterLocatorDlg::GetSelectedPrinter() const {
    QTreeWidgetItem* pSelected = nullptr;
    for (int i = 0; i < m_listPrinters->topLevelItemCount(); ++i) {
        QTreeWidgetItem* pItem = m_listPrinters->topLevelItem(i);
        if (pItem->isSelected()) {
            pSelected = pItem;
            break;
        }
    }
    if (pSelected == nullptr) return std::nullopt;
    const QString strAddress = pSelected->text(1);
    if (strAddress.isEmpty()) return std::nullopt;
    const PrinterData* pPrinter = m_pScan->GetPrinterList().FindByAddress(View(strAddress));
    if (pPrinter == nullptr) return std::nullopt;
    return *pPrinter;
}
