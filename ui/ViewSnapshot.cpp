#include "ui/ViewSnapshot.h"

#include <QLayout>
#include <QPainter>
#include <QPixmap>
#include <QSaveFile>
#include <QWidget>

namespace ViewSnapshot {

bool write(QWidget& view, const QString& path)
{
    view.ensurePolished();
    if (QLayout* layout = view.layout()) {
        layout->activate();
    }
    view.resize(view.minimumSize().expandedTo(view.sizeHint()).boundedTo(view.maximumSize()));
    QPixmap image(view.size() * scale);
    if (image.isNull()) {
        return false;
    }
    image.setDevicePixelRatio(scale);
    image.fill(view.palette().color(QPalette::Window));
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG")) {
        return false;
    }
    return file.commit();
}

} // namespace ViewSnapshot
