#pragma once

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <memory>

namespace tarnwick::test {

// A fresh directory holding a copy of the program, which keeps name.txt
// beside itself there (as a portable copy of the panel does), away from the
// build's own. Nothing when the copy failed.
inline std::unique_ptr<QTemporaryDir> program_copy(const QString& program) {
    auto dir = std::make_unique<QTemporaryDir>();
    const QString copy = dir->filePath(QFileInfo(program).fileName());
    if (!dir->isValid() || !QFile::copy(program, copy) ||
        !QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return nullptr;
    return dir;
}

}  // namespace tarnwick::test
