// Runs a fuzz target over files and folders of inputs once, for compilers without libFuzzer.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        if (path.startsWith(u'-'))
            continue;
        QStringList files;
        if (QFileInfo(path).isDir()) {
            for (const QFileInfo& entry : QDir(path).entryInfoList(QDir::Files, QDir::Name))
                files.append(entry.filePath());
        } else {
            files.append(path);
        }
        for (const QString& file : files) {
            QFile in(file);
            if (!in.open(QIODevice::ReadOnly))
                return 1;
            const QByteArray data = in.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
            ++inputs;
        }
    }
    std::printf("%d inputs run\n", inputs);
    return 0;
}
