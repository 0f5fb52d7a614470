// Writes the program's icon at the sizes a desktop's icon theme asks for:
//   korvane-icon-sizes ICON.png FOLDER SIZE...
// makes FOLDER/SIZExSIZE/apps/korvane.png for each SIZE. The icon is drawn pixel by pixel
// at 32×32, so a whole multiple of that keeps each pixel a sharp square; other sizes are
// smoothed.
#include <QDir>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ICON.png FOLDER SIZE...\n", argv[0]);
        return 2;
    }
    const QImage icon(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const int size = QString::fromLatin1(argv[i]).toInt();
        const bool whole = size % icon.width() == 0;
        const QImage scaled =
            icon.scaled(size, size, Qt::IgnoreAspectRatio,
                        whole ? Qt::FastTransformation : Qt::SmoothTransformation);
        const QString folder =
            QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        if (size <= 0 || !QDir().mkpath(folder) ||
            !scaled.save(folder + QStringLiteral("/korvane.png"))) {
            std::fprintf(stderr, "%s: cannot write the %s pixel icon into %s\n", argv[0], argv[i],
                         argv[2]);
            return 1;
        }
    }
    return 0;
}
