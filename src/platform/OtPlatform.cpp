#include "platform/OtPlatform.h"

#include <QRegularExpression>
#include <QSysInfo>

namespace ot {

QString TOtPlatform::OSVersionLine() const {
    return FormatOSVersionLine(OSDescription(), QSysInfo::kernelVersion(),
                               QSysInfo::currentCpuArchitecture());
}

QString FormatArchitecture(const QString& sCpuArchitecture, const QString& sKernelType) {
    QString kernel = sKernelType;
    if (kernel == u"linux") {
        kernel = QStringLiteral("Linux");
    } else if (!kernel.isEmpty()) {
        kernel[0] = kernel[0].toUpper();
    }
    return (sCpuArchitecture + u' ' + kernel).trimmed();
}

QString FormatOSVersionLine(const QString& sReleaseName, const QString& sKernelVersion,
                            const QString& sCpuArchitecture) {
    // Up to three dot-separated numbers at the start; "6.1.0-13-amd64" gives 6, 1, 0.
    static const QRegularExpression leading(QStringLiteral(R"(^(\d+)(?:\.(\d+))?(?:\.(\d+))?)"));
    const auto m = leading.match(sKernelVersion);
    auto number = [&](int i) { return QString::number(m.hasMatch() ? m.captured(i).toInt() : 0); };
    const bool b64 = sCpuArchitecture.contains(u"64") || sCpuArchitecture == u"s390x";
    // One pass over the pattern, so a "%" in the release name stays as it is.
    return QStringLiteral("%1 (Version %2.%3, Build %4, %5)")
        .arg(sReleaseName, number(1), number(2), number(3),
             b64 ? QStringLiteral("64-bit Edition") : QStringLiteral("32-bit Edition"));
}

} // namespace ot
