// Helpers for the window's Qt tests: a private current directory, a trace
// file to read back, and a watcher that closes modal windows.
#pragma once

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "trace_log.h"

// Runs the test inside a fresh current directory (where "hvl.cfg" lives) and
// points the trace log at a file in it.
class CTestDirectory {
public:
    CTestDirectory() : m_strOld(QDir::currentPath()) {
        QDir::setCurrent(m_dir.path());
        const QString strConf = m_dir.filePath(QStringLiteral("trace.conf"));
        QFile conf(strConf);
        conf.open(QIODevice::WriteOnly);
        conf.write("DebugLevel=7\nDebugFile=" + m_dir.filePath(QStringLiteral("trace.log")).toUtf8() + "\n");
        conf.close();
        CTraceLog::Instance().Configure(strConf.toUtf8().constData(), nullptr);
    }
    ~CTestDirectory() {
        CTraceLog::Instance().Configure(nullptr, nullptr);
        QDir::setCurrent(m_strOld);
    }

    QString Path(const QString& strName) const { return m_dir.filePath(strName); }

    // The trace file's lines (UTF-16LE on disk).
    QStringList TraceLines() const {
        QFile file(Path(QStringLiteral("trace.log")));
        if (!file.open(QIODevice::ReadOnly)) return {};
        const QByteArray bytes = file.readAll();
        QString text =
            QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    }
    int TraceIndexOf(const QString& strPart) const {
        const QStringList lines = TraceLines();
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].contains(strPart)) return i;
        }
        return -1;
    }

    QByteArray ReadFile(const QString& strName) const {
        QFile file(Path(strName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString m_strOld;
    QTemporaryDir m_dir;
};

// While it lives, closes every modal window other than `pExcept` that opens,
// first handing it to `fnSeen`.
class CModalWatcher {
public:
    explicit CModalWatcher(std::function<void(QWidget*)> fnSeen = {}, QWidget* pExcept = nullptr)
        : m_fnSeen(std::move(fnSeen)), m_pExcept(pExcept) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* pModal = QApplication::activeModalWidget();
            if (pModal == nullptr || pModal == m_pExcept) return;
            ++m_nSeen;
            m_strLastClass = QString::fromLatin1(pModal->metaObject()->className());
            if (m_fnSeen) m_fnSeen(pModal);
            pModal->close();
        });
        m_timer.start(20);
    }
    int Seen() const { return m_nSeen; }
    QString LastClass() const { return m_strLastClass; }

private:
    std::function<void(QWidget*)> m_fnSeen;
    QPointer<QWidget> m_pExcept;
    QTimer m_timer;
    int m_nSeen = 0;
    QString m_strLastClass;
};
