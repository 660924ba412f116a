#include "ui/assets.h"

#include <QDirIterator>
#include <QFile>

#include "platform/fileio.h"

namespace vl::ui {

void installPageAssets(const Paths& paths) {
    // Every installed file lives under :/assets/htm, keeping its sub-folders.
    const QString base = QStringLiteral(":/assets/htm/");
    std::error_code ec;
    if (!std::filesystem::is_directory(paths.product("htm"), ec)) return;
    QDirIterator it(base, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString res = it.next();
        const QString rel = res.mid(base.size());
        const auto target = paths.product("htm/" + rel.toStdString());
        if (std::filesystem::exists(target, ec)) continue;
        std::filesystem::create_directories(target.parent_path(), ec);
        QFile f(res);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QByteArray bytes = f.readAll();
        writeFileAtomic(
            target, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }
}

} // namespace vl::ui
