#include "ui/UTessivarLayoutState.h"

#include "base/UDebug.h"
#include "base/URegistry.h"
#include "ui/UTessivarGridView.h"
#include "ui/UTessivarPages.h"

#include <QSplitter>
#include <QStringList>

namespace {

constexpr const char* LayoutKey = "\\Software\\Tessivar\\Layout";
constexpr const char* PreviewValue = "PreviewSplitter";
constexpr int TallestPane = 100000;

} // namespace

void SaveListLayout(const TTessivarPages& pages) {
    try {
        TRegistryBatch batch;
        TRegistry registry(HKEY_CURRENT_USER);
        if (!registry.OpenKey(LayoutKey, true))
            return;
        for (const auto& [page, view] : pages.GridViews())
            registry.WriteString(view->objectName().toStdString(), view->ColumnWidths().toStdString());
        QStringList sizes;
        for (int size : pages.PreviewSplitter().sizes())
            sizes << QString::number(size);
        registry.WriteString(PreviewValue, sizes.join(QLatin1Char(',')).toStdString());
        batch.Commit();
    } catch (const ERegistryException& e) {
        DebugException("TTessivarLayoutState", e);
    }
}

void RestoreListLayout(TTessivarPages& pages) {
    try {
        TRegistry registry(HKEY_CURRENT_USER);
        if (!registry.OpenKeyReadOnly(LayoutKey))
            return;
        for (const auto& [page, view] : pages.GridViews()) {
            const std::string name = view->objectName().toStdString();
            if (registry.ValueExists(name))
                view->SetColumnWidths(QString::fromStdString(registry.ReadString(name)));
        }
        if (!registry.ValueExists(PreviewValue))
            return;
        const QStringList parts = QString::fromStdString(registry.ReadString(PreviewValue)).split(QLatin1Char(','));
        QList<int> sizes;
        for (const QString& part : parts) {
            bool ok = false;
            const int size = part.toInt(&ok);
            if (!ok || size < 0 || size > TallestPane)
                return;
            sizes << size;
        }
        // The lists never vanish; the preview may have been closed.
        if (sizes.size() == 2 && sizes[0] > 0)
            pages.PreviewSplitter().setSizes(sizes);
    } catch (const ERegistryException& e) {
        DebugException("TTessivarLayoutState", e);
    }
}
