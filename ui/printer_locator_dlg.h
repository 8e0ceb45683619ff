// The program's only top-level window: the printer list above a one-pane
// status bar, the menu bar, and the scan driven by a 100 ms timer. The scan
// itself (providers, merge, duplicate rule) lives in CPrinterScan; this class
// adds the view, the status text and the commands.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QKeySequence>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "printer_list.h"
#include "printer_scan.h"
#include "search_options.h"

class CStatusPane;
class QAction;
class QContextMenuEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QPoint;
class QStatusBar;
class QTimer;
class QTreeWidget;

// Command numbers of the menu bar and the context menu; each action carries
// its number as data.
constexpr int ID_ACTIONS_SCANNETWORK = 32786;
constexpr int ID_ACTIONS_EXIT = 32787;
constexpr int ID_HELP_HELP = 32788;
constexpr int ID_HELP_ABOUT = 32792;
constexpr int ID_PRINTER_DETAILS = 32797;
constexpr int ID_POPUP_DETAILS = 32798;
constexpr int ID_ACTIONS_OPTIONS = 32804;
constexpr int ID_ACTIONS_STOPSCAN = 32812;

// The product name the trace lines "%s started." and "%s finished." carry.
inline constexpr char16_t PRODUCT_NAME[] = u"Halvet Printer Locator";

class CPrinterLocatorDlg : public QDialog {
    Q_OBJECT

public:
    using ProviderFactory = std::function<ProviderArray()>;

    // Loads "hvl.cfg" from the current directory, then creates the providers
    // (the program's own: mDNS, then UPnP; tests hand in fakes).
    explicit CPrinterLocatorDlg(
        const ProviderFactory& fnCreateProviders = CPrinterScan::CreateDefaultProviders,
        QWidget* pParent = nullptr);
    // Stops every provider, saves "hvl.cfg" and writes "%s finished.": every
    // way out of the window passes here (Exit, Esc, close box, the window
    // manager's Alt+F4), also during a scan.
    ~CPrinterLocatorDlg() override;

    // --- the printer list's view ---
    // Rebuilds the rows, in the order of adding, when the number of printers changed.
    void RefreshPrinterList();
    // Sorts the rows by the column's text; every call reverses the direction.
    void SortPrinterList(int nColumn);
    // The printer of the selected row, found through its address.
    std::optional<PrinterData> GetSelectedPrinter() const;

    // Writes the status pane only when the text differs under CompareNoCase.
    void SetStatusText(const QString& strText);
    QString GetStatusText() const;

    // --- for the commands and for tests ---
    QTreeWidget* GetListView() const { return m_listPrinters; }
    QAction* GetAction(int nCommand) const;
    QMenu* GetPrinterMenu() const { return m_pMenuPrinter; }
    const QIcon& GetIcon() const { return m_hIcon; }
    const CPrinterList& GetPrinters() const { return m_pScan->GetPrinterList(); }
    const ProviderArray& GetProviders() const { return m_pScan->GetProviders(); }
    SearchOptions& GetSearchOptions() { return m_searchOptions; }
    int32_t GetSortState() const { return m_nSortState; }
    int32_t GetShownCount() const { return m_nShownCount; }

public slots:
    void StartScan();
    void StopScan();
    // One period of the 100 ms timer.
    void OnTimer();

    // The commands that open the other windows; defined in
    // printer_locator_commands.cpp.
    void OnDetails();                            // Details, Ctrl+D, context menu Details
    void OnOptions();                            // Options, Ctrl+O
    void OnHelp();                               // Help, F1
    void OnAbout();                              // About
    void OnContextMenu(const QPoint& ptGlobal);  // right click anywhere in the window
    void OnPrinterMenuAboutToShow();             // sets the Details item from the selection
    void ShowPrinterDetails();                   // the selected printer's details dialog

protected:
    void showEvent(QShowEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    // Runs once, when the window is first shown: the trace line and the timer.
    void OnInitDialog();
    void ShowScanResult();
    void SetScanning(bool bScanning);
    // Keeps the outer size (frame included) at least 382 x 382 pixels.
    void UpdateMinimumSize();
    QAction* AddCommand(QMenu* pMenu, const QString& strText, int nCommand, const QKeySequence& key);
    // The menu bar's command whose key this is, enabled or not; null for none.
    QAction* FindCommandForKey(const QKeySequence& key) const;

    class CKeyRouter;

    QIcon m_hIcon;
    SearchOptions m_searchOptions;
    std::unique_ptr<CPrinterScan> m_pScan;  // the providers and m_aPrinters
    int32_t m_nShownCount = 0;
    int32_t m_nSortState = -1;  // -1 before the first sort, 0 ascending, 1 descending
    bool m_bInitialised = false;
    bool m_bAnnouncePending = false;  // the scan's result goes to the screen reader at the next tick

    QMenuBar* m_pMenuBar = nullptr;
    QMenu* m_pMenuActions = nullptr;
    QMenu* m_pMenuPrinter = nullptr;
    QMenu* m_pMenuHelp = nullptr;
    QTreeWidget* m_listPrinters = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    CStatusPane* m_pStatusPane = nullptr;
    QTimer* m_pTimer = nullptr;
    CKeyRouter* m_pKeyRouter = nullptr;
};
