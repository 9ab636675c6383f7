// Loading a .prefPane bundle and driving its pane, as a preferences
// application does.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cf/objects.h"
#include "cf/plist.h"
#include "vantrel/PreferencePanes.h"
#include "vantrel/fault.h"

VANTREL_FAULT_OPERATIONS("NSBundle.load");

namespace vantrel::host {
namespace {

std::string info_string(NSBundle* b, const char* key) {
    id v = b->objectForInfoDictionaryKey(NSString::stringWithUTF8String(key));
    auto* s = dynamic_cast<NSString*>(v);
    return s ? s->UTF8String() : std::string();
}

std::string string_at(CFDictionaryRef d, const char* key) {
    CFStringRef k = cf::string_from_utf8(key);
    CFTypeRef v = CFDictionaryGetValue(d, k);
    CFRelease(k);
    return CFGetTypeID(v) == CFStringGetTypeID() ? cf::to_utf8(static_cast<CFStringRef>(v))
                                                 : std::string();
}

bool plain_file_name(const std::string& n) {
    return !n.empty() && n != "." && n != ".." && n.find('/') == std::string::npos;
}

}  // namespace

std::unique_ptr<LoadedPane> LoadedPane::load(const std::string& path, std::string* error) {
    NSAutoreleasePool pool;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = errno == ENOENT ? "bundle not found: " + path
                                 : "cannot open bundle " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = "not a bundle (a bundle is a directory): " + path;
        return nullptr;
    }
    std::string info = path + "/Contents/Info.plist";
    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(path.c_str()));
    if (bundle == nil) {
        *error = ::access(info.c_str(), R_OK) == 0 ? "not a property list dictionary: " + info
                                                   : "cannot read " + info;
        return nullptr;
    }
    std::string principal = info_string(bundle, "NSPrincipalClass");
    std::string exe = info_string(bundle, "CFBundleExecutable");
    if (principal.empty()) {
        *error = info + " names no principal class (NSPrincipalClass)";
        return nullptr;
    }
    if (!plain_file_name(exe)) {
        *error = info + " names no shared object (CFBundleExecutable)";
        return nullptr;
    }
    std::string so = path + "/Contents/Linux/" + exe;
    if (vantrel::fault::check("NSBundle.load", so)) {
        *error = "cannot load " + so;
        return nullptr;
    }
    // dlopen reads whatever the path names: a FIFO would block the host for
    // ever (and a caught SIGTERM could not end it), a device could be endless.
    if (::stat(so.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = "cannot load " + so + ": not a regular file";
        return nullptr;
    }
    // Never closed: the classes it registered stay in use until exit.
    if (::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
        const char* why = ::dlerror();
        *error = "cannot load " + so + (why ? std::string(": ") + why : std::string());
        return nullptr;
    }
    const objc::Class* cls = objc::lookUpClass(principal);
    if (cls == nullptr) {
        *error = "principal class " + principal + " not found in " + so;
        return nullptr;
    }
    std::unique_ptr<LoadedPane> lp(new LoadedPane);
    lp->bundle_ = static_cast<NSBundle*>(bundle->retain());
    lp->pane_ = cls->create(bundle);
    lp->pane_->setIsa(cls);
    return lp;
}

LoadedPane::~LoadedPane() {
    NSAutoreleasePool pool;
    if (pane_) pane_->release();
    if (bundle_) bundle_->release();
}

bool LoadedPane::loadMainView(std::string* error) {
    NSAutoreleasePool pool;
    std::string nib = info_string(bundle_, "NSMainNibFile");
    std::string file = bundle_->resourcePath() + "/" + nib;
    if (!plain_file_name(nib)) {
        *error =
            bundle_->contentsPath() + "/Info.plist names no interface definition (NSMainNibFile)";
        return false;
    }
    std::string bytes;
    if (!cf::read_plist_file(file, &bytes)) {
        *error = "cannot read interface definition " + file;
        return false;
    }
    CFTypeRef doc = cf::parse_plist(bytes);
    CFStringRef controlsKey = cf::string_from_utf8("Controls");
    CFTypeRef controls = CFGetTypeID(doc) == CFDictionaryGetTypeID()
                             ? CFDictionaryGetValue(static_cast<CFDictionaryRef>(doc), controlsKey)
                             : nullptr;
    CFRelease(controlsKey);
    if (CFGetTypeID(controls) != CFArrayGetTypeID()) {
        CFRelease(doc);
        *error = "interface definition has no Controls array: " + file;
        return false;
    }
    const objc::Class* cls = pane_->isa();
    NSView* view = new NSView;
    bool ok = true;
    auto arr = static_cast<CFArrayRef>(controls);
    std::vector<NSButton*> boxes;
    std::vector<NSTextField*> labels;
    for (CFIndex i = 0; ok && i < CFArrayGetCount(arr); ++i) {
        auto d = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(arr, i));
        if (CFGetTypeID(d) != CFDictionaryGetTypeID()) continue;
        std::string kind = string_at(d, "Class");
        std::string outlet = string_at(d, "Outlet");
        std::string action = string_at(d, "Action");
        NSControl* control = nullptr;
        if (kind == "NSButton") {
            auto* b = new NSButton;
            b->setTitle(NSString::stringWithUTF8String(string_at(d, "Title").c_str()));
            boxes.push_back(b);
            control = b;
        } else if (kind == "NSTextField") {
            auto* t = new NSTextField;
            t->setStringValue(NSString::stringWithUTF8String(string_at(d, "StringValue").c_str()));
            labels.push_back(t);
            control = t;
        } else {
            error->assign("interface definition has a control of unknown class \"")
                .append(kind)
                .append("\": ")
                .append(file);
            ok = false;
            break;
        }
        view->addSubview(control);
        control->release();  // the view holds it now
        if (!outlet.empty()) {
            const auto* o = cls->findOutlet(outlet);
            if (o == nullptr || !o->set(pane_, control)) {
                error->assign("interface connects outlet ")
                    .append(outlet)
                    .append(" that ")
                    .append(cls->name)
                    .append(" does not have (as ")
                    .append(kind)
                    .append(")");
                ok = false;
            }
        }
        if (ok && !action.empty()) {
            if (cls->findAction(action) == nullptr) {
                *error = "interface sends action " + action + " that " + cls->name +
                         " does not implement";
                ok = false;
            }
            control->setTarget(pane_);
            control->setAction(action);
        }
    }
    CFRelease(doc);
    if (!ok) {
        // Outlets must not point into the view about to go away.
        for (auto& o : cls->outlets) o.set(pane_, nil);
        view->release();
        return false;
    }
    pane_->setMainView(view);
    view->release();
    boxes_ = std::move(boxes);
    labels_ = std::move(labels);
    pane_->mainViewDidLoad();
    return true;
}

void LoadedPane::select() {
    NSAutoreleasePool pool;
    pane_->willSelect();
    pane_->didSelect();
}

void LoadedPane::click(NSButton* box) {
    NSAutoreleasePool pool;
    if (box) box->performClick();
}

void LoadedPane::unselect() {
    NSAutoreleasePool pool;
    pane_->willUnselect();
    pane_->didUnselect();
}

NSButton* LoadedPane::checkBoxTitled(const std::string& title) const {
    for (NSButton* b : boxes_)
        if (b->title() && title == b->title()->UTF8String()) return b;
    return nullptr;
}

}  // namespace vantrel::host
