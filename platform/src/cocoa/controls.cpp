// Views and the two controls a pane shows.
#include "vantrel/Cocoa.h"
#include "vantrel/PreferencePanes.h"

NSView::~NSView() {
    for (NSView* v : subviews_) v->release();
}

void NSView::addSubview(NSView* v) {
    if (v == nil) return;
    v->retain();
    subviews_.push_back(v);
}

bool NSControl::sendAction() {
    if (target_ == nil || action_.empty()) return false;
    return vantrel::objc::sendAction(target_, action_, this);
}

NSButton::~NSButton() {
    if (title_) title_->release();
}

void NSButton::setTitle(NSString* title) {
    if (title) title->retain();
    if (title_) title_->release();
    title_ = title;
}

void NSButton::performClick() {
    state_ = state_ == NSOffState ? NSOnState : NSOffState;
    sendAction();
}

NSTextField::~NSTextField() {
    if (value_) value_->release();
}

void NSTextField::setStringValue(NSString* s) {
    if (s) s->retain();
    if (value_) value_->release();
    value_ = s;
}
