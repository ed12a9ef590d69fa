#include "checks.h"

#include "compile_log.h"
#include "front_end.h"
#include "parse_state.h"

namespace {

// The value NULL in a policy, stored with a fifth letter.
const char nullName[] = "NULLL";

bool isAbsolute(const std::string &name)
{
    return !name.empty() && name[0] == '/';
}

// A trailing "/*" means everything below the directory.
bool isRecursive(const std::string &name)
{
    return name.size() >= 2 && name.compare(name.size() - 2, 2, "/*") == 0;
}

// A star inside a segment, other than an escaped one, or a segment that
// starts with a star.
bool isPartialWildcard(const std::string &path, size_t begin, size_t end)
{
    if (path[begin] == '*')
        return true;
    for (size_t i = begin + 1; i < end; ++i) {
        if (path[i] == '*' && path[i - 1] != '\\')
            return true;
    }
    return false;
}

// The label kinds, made once: every name is registered under one, and a
// kind made from a literal per name would cost a string each (a heap one
// for the longer kinds).
const std::string subjectPkg = "subject_pkg";
const std::string subjectFile = "subject_file";
const std::string subjectRecurfile = "subject_recurfile";
const std::string objectPkg = "object_pkg";
const std::string objectFile = "object_file";
const std::string objectDir = "object_dir";
const std::string objectLnkfile = "object_lnkfile";
const std::string objectRecurfile = "object_recurfile";

const std::string &fileLabel(const std::string &name, const std::string &plainKind)
{
    return isRecursive(name) ? objectRecurfile : plainKind;
}

const std::string &subjectLabel(const std::string &name)
{
    if (name == nullName || !isAbsolute(name))
        return subjectPkg;
    return isRecursive(name) ? subjectRecurfile : subjectFile;
}

} // namespace

int checkWildcard(FrontEnd &fe, const std::string &path)
{
    // Without a star there is nothing to check (most paths).
    if ((!path.empty() && path[0] != '/') || path.find('*') == std::string::npos)
        return 0;

    // Segments are the texts between slashes: the leading slash gives an
    // empty first segment and a trailing slash gives none.
    int wholeStars = 0;
    const size_t size = path.size();
    for (size_t pos = 0; pos < size;) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = size;
        const size_t length = end - pos;
        if (length == 1 && path[pos] == '*') {
            // A last "*" marks a recursive path; an inner one is a wildcard.
            const bool last = end + 1 >= size;
            if (!last)
                ++wholeStars;
        } else if (length >= 2 && isPartialWildcard(path, pos, end)) {
            COMPILE_ERROR(fe, "####ERROR: 目前不支持部分通配格式，请检查 %s ", path.c_str());
            return 1;
        }
        pos = end + 1;
    }

    if (wholeStars == 0)
        return 0;
    if (wholeStars >= 2) {
        COMPILE_ERROR(fe, "####ERROR: 目前不支持多项通配格式，请检查 %s ", path.c_str());
        return 1;
    }
    if (path.compare(0, 7, "/home/*") == 0)
        return 0;
    COMPILE_ERROR(fe, "####ERROR: 目前不支持除home路径外的通配格式，请检查 %s ", path.c_str());
    return 1;
}

int checkSubject(FrontEnd &fe, const std::string &name)
{
    if (checkWildcard(fe, name) != 0) {
        COMPILE_ERROR(fe, "####ERROR: 主体%s通配检查失败", name.c_str());
        return 1;
    }
    fe.output().setFileToGetLabelMap(subjectLabel(name), name);
    addSubjectName(fe.state().rule, name);
    return 0;
}

int checkObject(FrontEnd &fe, const std::string &name)
{
    if (checkWildcard(fe, name) != 0) {
        COMPILE_ERROR(fe, "####ERROR: 客体%s通配检查失败", name.c_str());
        return 1;
    }

    ParseState &s = fe.state();
    const std::string &type = s.rule.node.objectType;
    const std::string *kind = nullptr;
    if (name == nullName) {
        kind = &objectPkg;
    } else if (type == "file") {
        kind = isAbsolute(name) ? &fileLabel(name, objectFile) : &objectPkg;
    } else if (type == "dir" || type == "lnkfile") {
        if (!isAbsolute(name)) {
            COMPILE_ERROR(fe, type == "dir" ? "####ERROR: dir客体类型的%s不是绝对路径"
                                     : "####ERROR: lnkfile客体类型的%s不是绝对路径",
                       name.c_str());
            return 1;
        }
        kind = &fileLabel(name, type == "dir" ? objectDir : objectLnkfile);
    } else if (type == "process") {
        kind = &subjectLabel(name);
    }
    if (kind) {
        fe.output().setFileToGetLabelMap(*kind, name);
        addObjectName(s.rule, name);
        return 0;
    }

    // Any other type is known to the library through its parent class.
    std::string parent;
    fe.output().beforeLibraryQuery();
    if (policyManager().getParentClass(type, parent) != 0) {
        COMPILE_ERROR(fe, "####ERROR: 获取客体类型%s父类型失败", type.c_str());
        return 1;
    }
    if (parent == "kmod") {
        fe.output().addToKmodVec(name);
        addObjectName(s.rule, name);
    } else if (parent == "cap") {
        TAVO_ID oid;
        if (policyManager().getCapOid(name, oid) != 0) {
            COMPILE_ERROR(fe, "####ERROR: 获取权能%s客体id失败", name.c_str());
            return 1;
        }
        s.rule.node.oids.push_back(oid);
    } else if (parent == "device") {
        fe.output().addToDeviceVec(name);
        addObjectName(s.rule, name);
    }
    return 0;
}
