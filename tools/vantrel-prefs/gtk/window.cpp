// The window front end: the pane's controls as GTK 4 widgets. Built as a
// module of its own (vantrel-prefs-gtk.so) that the host loads only when it
// shows a window, so that the terminal view and the scripted modes never
// load the toolkit.
//
// The pane's controls stay the truth. Each NSButton becomes a GtkCheckButton
// and each NSTextField a GtkLabel; after anything that lets the pane change
// its controls (willSelect, a click) the widgets are set from them again. A
// user's toggle of a GtkCheckButton is a click on its NSButton through the
// session, which also says whether the store saved it: a failed save shows
// a banner naming the file and the error, and the box keeps showing the
// click, as the pane wants.
//
// The window closes by its close button, Ctrl+W, Ctrl+Q or Escape, and on
// SIGTERM, SIGHUP or SIGINT (the host's signal pipe is watched by the main
// loop); every way leaves the pane exactly once, before the window goes.
// When the X server goes away (the desktop session ended), GDK would end the
// process at once; the pane is left first, as when a terminal is closed.
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace vprefs {
namespace {

// The application's identity on the desktop: the name of its .desktop file,
// its icon, and its Wayland app ID and X11 class.
constexpr const char* kAppId = "com.ashgrove.VantrelPrefs";
// Beyond this many pixels the list of check boxes scrolls.
constexpr int kMaxListHeight = 480;
// A title longer than this many characters is cut with "…".
constexpr int kTitleChars = 60;
// The banner's text is cut after this many lines.
constexpr int kBannerLines = 4;

// Text from a bundle or an error shown as plain text: valid UTF-8, one line,
// control characters shown as "?" (as the terminal view shows them).
std::string shown(const std::string& s) {
    gchar* valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
    std::string out;
    for (const gchar* p = valid; *p != '\0'; p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            out += '?';
        } else {
            out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
        }
    }
    g_free(valid);
    return out;
}

std::string bundle_name(Visit& s) {
    NSAutoreleasePool pool;
    id v = s.pane().bundle()->objectForInfoDictionaryKey(
        NSString::stringWithUTF8String("CFBundleName"));
    auto* name = dynamic_cast<NSString*>(v);
    if (name != nil && name->length() > 0) return name->UTF8String();
    std::string path = s.pane().bundle()->bundlePath()->UTF8String();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class WindowFrontEnd;
// The window on screen, for leaving the pane when the display is lost.
WindowFrontEnd* g_on_screen = nullptr;

class WindowFrontEnd : public FrontEnd {
  public:
    explicit WindowFrontEnd(const ModuleHost* host) : host_(host) {}

    int run(Visit& session) override {
        session_ = &session;
        session.show();  // willSelect runs before the window is on screen
        build();
        pull();
        if (!session.notice().empty()) say(GTK_MESSAGE_WARNING, shown(session.notice()));
        guint watch = g_unix_fd_add(host_->signalFd(), G_IO_IN, &WindowFrontEnd::on_signal, this);
        g_on_screen = this;
        GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
        if (GDK_IS_X11_DISPLAY(display)) XSetIOErrorHandler(&WindowFrontEnd::on_display_lost);
        gtk_window_present(window_);
        while (!done_) g_main_context_iteration(nullptr, TRUE);
        g_on_screen = nullptr;
        g_source_remove(watch);
        session.leave();  // posts once, however the window was closed
        gtk_window_destroy(window_);
        while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
        // A save can fail after the user asked to close (the store waited
        // for another program's lock meanwhile), and a post fails only as
        // the window goes: what the file lacks, and a notification nobody
        // heard, outlive the window on standard error and in the status.
        return end_of_visit(session, "\u201C", "\u201D");
    }

  private:
    struct Box {
        NSButton* control;
        GtkCheckButton* widget;
        WindowFrontEnd* owner;
        gulong handler;
    };

    void build() {
        window_ = GTK_WINDOW(gtk_window_new());
        // A settings panel on the desktop: a header bar with the pane's name
        // (the window's title), then a heading saying what the boxes choose.
        gtk_window_set_title(window_, shown(bundle_name(*session_)).c_str());
        gtk_window_set_titlebar(window_, gtk_header_bar_new());
        gtk_window_set_icon_name(window_, kAppId);
        g_signal_connect(window_, "close-request", G_CALLBACK(&WindowFrontEnd::on_close_request),
                         this);
        g_signal_connect(window_, "notify::is-active", G_CALLBACK(&WindowFrontEnd::on_active),
                         this);
        g_signal_connect(window_, "realize", G_CALLBACK(&WindowFrontEnd::on_realize), this);

        GtkEventController* keys = gtk_shortcut_controller_new();
        gtk_shortcut_controller_add_shortcut(
            GTK_SHORTCUT_CONTROLLER(keys),
            gtk_shortcut_new(
                gtk_shortcut_trigger_parse_string("<Control>w|<Control>q|Escape"),
                gtk_callback_action_new(&WindowFrontEnd::on_close_key, this, nullptr)));
        gtk_widget_add_controller(GTK_WIDGET(window_), keys);

        // GNOME's layout: 18 px around the content, 12 px between groups, 6
        // px between the boxes of a group, which sit 12 px in from their
        // heading.
        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
        gtk_widget_set_margin_top(column, 18);
        gtk_widget_set_margin_bottom(column, 18);
        gtk_widget_set_margin_start(column, 18);
        gtk_widget_set_margin_end(column, 18);
        gtk_window_set_child(window_, column);

        // The banner: hidden until there is something to say (a click not
        // saved, a file that cannot be read, one kept aside, a wait).
        banner_ = GTK_INFO_BAR(gtk_info_bar_new());
        gtk_info_bar_set_message_type(banner_, GTK_MESSAGE_ERROR);
        gtk_info_bar_set_show_close_button(banner_, TRUE);
        banner_text_ = GTK_LABEL(gtk_label_new(""));
        gtk_label_set_wrap(banner_text_, TRUE);
        gtk_label_set_wrap_mode(banner_text_, PANGO_WRAP_WORD_CHAR);
        // Wide enough to read when it appears: the window grows to hold it.
        // A long message (a deep path) is cut after a few lines, so that it
        // cannot push the boxes off the screen; its tooltip and accessible
        // name keep it whole.
        gtk_label_set_width_chars(banner_text_, 40);
        gtk_label_set_max_width_chars(banner_text_, 60);
        gtk_label_set_lines(banner_text_, kBannerLines);
        gtk_label_set_ellipsize(banner_text_, PANGO_ELLIPSIZE_END);
        gtk_label_set_xalign(banner_text_, 0);
        gtk_info_bar_add_child(banner_, GTK_WIDGET(banner_text_));
        g_signal_connect(banner_, "response", G_CALLBACK(&WindowFrontEnd::on_banner_response),
                         this);
        gtk_widget_set_visible(GTK_WIDGET(banner_), FALSE);
        gtk_box_append(GTK_BOX(column), GTK_WIDGET(banner_));

        GtkWidget* group = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
        GtkWidget* heading =
            GTK_WIDGET(g_object_new(GTK_TYPE_LABEL, "label", "What the contextual menu shows",
                                    "accessible-role", GTK_ACCESSIBLE_ROLE_HEADING, nullptr));
        gtk_label_set_xalign(GTK_LABEL(heading), 0);
        gtk_widget_add_css_class(heading, "heading");
        gtk_box_append(GTK_BOX(group), heading);
        gtk_box_append(GTK_BOX(column), group);

        // The check boxes, in the interface definition's order. A pane with
        // more than fit on the screen scrolls.
        GtkWidget* list = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
        GtkWidget* scroller = gtk_scrolled_window_new();
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                       GTK_POLICY_AUTOMATIC);
        gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
        gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller), TRUE);
        gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), kMaxListHeight);
        gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), list);
        gtk_widget_set_vexpand(scroller, TRUE);
        gtk_widget_set_margin_start(scroller, 12);
        gtk_box_append(GTK_BOX(group), scroller);
        boxes_.reserve(session_->pane().checkBoxes().size());
        for (NSButton* b : session_->pane().checkBoxes()) {
            std::string title = shown(title_of(b));
            GtkWidget* text = gtk_label_new(title.c_str());
            gtk_label_set_xalign(GTK_LABEL(text), 0);
            gtk_label_set_ellipsize(GTK_LABEL(text), PANGO_ELLIPSIZE_END);
            gtk_label_set_max_width_chars(GTK_LABEL(text), kTitleChars);
            GtkWidget* check = gtk_check_button_new();
            gtk_check_button_set_child(GTK_CHECK_BUTTON(check), text);
            // A tooltip only where it adds something: a title cut short.
            if (g_utf8_strlen(title.c_str(), -1) > kTitleChars)
                gtk_widget_set_tooltip_text(check, title.c_str());
            // Screen readers hear the whole title, even when it is cut short.
            gtk_accessible_update_property(GTK_ACCESSIBLE(check), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                           title.c_str(), -1);
            gtk_box_append(GTK_BOX(list), check);
            boxes_.push_back({b, GTK_CHECK_BUTTON(check), this, 0});
        }
        // The list keeps its whole height (up to the cap) when the banner
        // appears above it; only a longer list scrolls.
        int natural = 0;
        gtk_widget_measure(list, GTK_ORIENTATION_VERTICAL, -1, nullptr, &natural, nullptr, nullptr);
        gtk_scrolled_window_set_min_content_height(
            GTK_SCROLLED_WINDOW(scroller), natural < kMaxListHeight ? natural : kMaxListHeight);
        for (Box& box : boxes_)
            box.handler = g_signal_connect(box.widget, "toggled",
                                           G_CALLBACK(&WindowFrontEnd::on_toggled), &box);

        for (NSTextField* t : session_->pane().labels()) {
            GtkWidget* label = gtk_label_new("");
            gtk_label_set_xalign(GTK_LABEL(label), 0);
            // The pane fills it from the bundle: a long text wraps at the
            // width of the boxes and is cut after a few lines, so that it
            // cannot make the window wider or taller than the screen (a
            // screen reader still hears all of it).
            gtk_label_set_wrap(GTK_LABEL(label), TRUE);
            gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
            gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
            gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
            gtk_label_set_lines(GTK_LABEL(label), 3);
            gtk_widget_add_css_class(label, "dim-label");
            gtk_box_append(GTK_BOX(column), label);
            labels_.push_back({t, GTK_LABEL(label)});
        }
        if (!session_->notificationsOn()) {
            std::string off = "Notifications are off (" + shown(session_->notificationsOff()) +
                              "), so running programs will not hear of changes.";
            GtkWidget* note = gtk_label_new(off.c_str());
            gtk_label_set_wrap(GTK_LABEL(note), TRUE);
            gtk_label_set_max_width_chars(GTK_LABEL(note), 50);
            gtk_label_set_xalign(GTK_LABEL(note), 0);
            gtk_widget_add_css_class(note, "dim-label");
            gtk_box_append(GTK_BOX(column), note);
        }
    }

    // Sets every widget from the pane's controls, without sending clicks.
    void pull() {
        for (Box& box : boxes_) {
            g_signal_handler_block(box.widget, box.handler);
            gtk_check_button_set_active(box.widget, box.control->state() != NSOffState);
            g_signal_handler_unblock(box.widget, box.handler);
        }
        for (auto& [field, label] : labels_) {
            NSString* v = field->stringValue();
            gtk_label_set_text(label, v ? shown(v->UTF8String()).c_str() : "");
        }
    }

    void say(GtkMessageType type, const std::string& text) {
        gtk_info_bar_set_message_type(banner_, type);
        gtk_label_set_text(banner_text_, text.c_str());
        gtk_widget_set_tooltip_text(GTK_WIDGET(banner_text_), text.c_str());
        gtk_widget_set_visible(GTK_WIDGET(banner_), TRUE);
    }

    // The line said of a click the file does not have.
    static std::string unsaved_line(const std::string& title, bool on, const std::string& why) {
        return "\u201C" + shown(title) + "\u201D is " + (on ? "on" : "off") +
               " here but was not saved: " + shown(why);
    }

    void clicked(Box& box) {
        // While the store waits for another program the window stays drawn
        // and can be closed (the wait then ends); the boxes take no other
        // click meanwhile.
        in_flight_ = &box;
        waiting_for_.clear();
        ClickResult r = session_->click(box.control, [this, &box](const std::string& what) {
            if (waiting_for_.empty()) {
                for (Box& b : boxes_) gtk_widget_set_sensitive(GTK_WIDGET(b.widget), FALSE);
                say(GTK_MESSAGE_INFO, "Saving \u201C" + shown(title_of(box.control)) +
                                          "\u201D: " + shown(what) + "; waiting for it\u2026");
            }
            waiting_for_ = what;
            for (int i = 0; i < 8 && g_main_context_pending(nullptr); ++i)
                g_main_context_iteration(nullptr, FALSE);
            return !done_;
        });
        in_flight_ = nullptr;
        for (Box& b : boxes_) gtk_widget_set_sensitive(GTK_WIDGET(b.widget), TRUE);
        pull();
        if (!r.saved) {
            say(GTK_MESSAGE_ERROR,
                unsaved_line(title_of(box.control), box.control->state() != 0, r.message));
        } else if (!r.note.empty()) {
            say(GTK_MESSAGE_WARNING, shown(r.note));
        } else {
            gtk_widget_set_visible(GTK_WIDGET(banner_), FALSE);
        }
    }

    void close() { done_ = true; }

    void maybe_ready() {
        if (ready_marked_ || !painted_ || !gtk_window_is_active(window_)) return;
        ready_marked_ = true;
        // Marked once the loop has nothing left to do: the next event it
        // handles is the user's.
        g_idle_add_full(
            G_PRIORITY_LOW,
            [](gpointer self) -> gboolean {
                static_cast<WindowFrontEnd*>(self)->host_->mark("ready");
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
    }

    // Xlib calls this, on the main thread, when the server connection is
    // gone; it must not return, and no X call may be made.
    static int on_display_lost(Display*) {
        if (g_on_screen != nullptr) {
            WindowFrontEnd* w = g_on_screen;
            // A click still waiting for another program is not saved: the
            // process ends now.
            if (Box* b = w->in_flight_)
                std::fprintf(stderr, "vantrel-prefs: %s\n",
                             unsaved_line(title_of(b->control), b->control->state() != 0,
                                          w->waiting_for_.empty() ? "the display was lost first"
                                                                  : w->waiting_for_)
                                 .c_str());
            w->session_->leave();
            end_of_visit(*w->session_, "\u201C", "\u201D");
            std::fflush(stderr);
        }
        static const char msg[] =
            "vantrel-prefs: lost the connection to the display; the pane was left\n";
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, msg, sizeof msg - 1);
        ::_exit(1);
    }

    static void on_toggled(GtkCheckButton*, gpointer data) {
        auto* box = static_cast<Box*>(data);
        box->owner->clicked(*box);
    }
    static gboolean on_close_request(GtkWindow*, gpointer self) {
        static_cast<WindowFrontEnd*>(self)->close();
        return TRUE;  // the window goes after the pane is left
    }
    static gboolean on_close_key(GtkWidget*, GVariant*, gpointer self) {
        static_cast<WindowFrontEnd*>(self)->close();
        return TRUE;
    }
    static void on_banner_response(GtkInfoBar* bar, int, gpointer) {
        gtk_widget_set_visible(GTK_WIDGET(bar), FALSE);
    }
    static gboolean on_signal(gint, GIOCondition, gpointer data) {
        auto* self = static_cast<WindowFrontEnd*>(data);
        bool resized = false;
        if (self->host_->takeSignal(&resized) != 0) self->close();
        return G_SOURCE_CONTINUE;
    }
    static void on_active(GObject*, GParamSpec*, gpointer self) {
        static_cast<WindowFrontEnd*>(self)->maybe_ready();
    }
    static void on_realize(GtkWidget* w, gpointer data) {
        GdkFrameClock* clock = gtk_widget_get_frame_clock(w);
        if (clock != nullptr)
            g_signal_connect(clock, "after-paint", G_CALLBACK(&WindowFrontEnd::on_after_paint),
                             data);
    }
    static void on_after_paint(GdkFrameClock* clock, gpointer data) {
        auto* self = static_cast<WindowFrontEnd*>(data);
        if (self->painted_ || !gtk_widget_get_mapped(GTK_WIDGET(self->window_))) return;
        self->painted_ = true;
        self->host_->mark("first-frame");
        g_signal_handlers_disconnect_by_func(
            clock, reinterpret_cast<gpointer>(&WindowFrontEnd::on_after_paint), data);
        self->maybe_ready();
    }

    const ModuleHost* host_;
    Visit* session_ = nullptr;
    GtkWindow* window_ = nullptr;
    GtkInfoBar* banner_ = nullptr;
    GtkLabel* banner_text_ = nullptr;
    std::vector<Box> boxes_;
    std::vector<std::pair<NSTextField*, GtkLabel*>> labels_;
    Box* in_flight_ = nullptr;  // the click waiting for the store, if one is
    std::string waiting_for_;   // what the store said it waits for
    bool done_ = false;
    bool painted_ = false;
    bool ready_marked_ = false;
};

}  // namespace
}  // namespace vprefs

// The module's one exported name: makes the window front end, or says why
// no window can be shown (another build's host, or no display to open).
extern "C" __attribute__((visibility("default"))) vprefs::FrontEnd* vantrel_prefs_window_front_end(
    const vprefs::ModuleHost* host, std::string* error) {
    if (host == nullptr || host->size != sizeof(vprefs::ModuleHost)) {
        *error = std::string(vprefs::kWindowModule) + " belongs to another build of vantrel-prefs";
        return nullptr;
    }
    g_set_prgname(vprefs::kAppId);
    // A pane's window is a dozen check boxes and a label: GTK's cairo
    // renderer draws it as well as the GL one, and starting GL costs more
    // than everything else at start-up together (several hundred ms where GL
    // is done in software). A renderer the user chose still wins.
    g_setenv("GSK_RENDERER", "cairo", FALSE);
    if (!gtk_init_check()) {
        const char* wl = g_getenv("WAYLAND_DISPLAY");
        const char* x = g_getenv("DISPLAY");
        *error = std::string("cannot open the display") +
                 (wl && *wl ? std::string(" WAYLAND_DISPLAY=") + wl : std::string()) +
                 (x && *x ? std::string(" DISPLAY=") + x : std::string());
        return nullptr;
    }
    return new vprefs::WindowFrontEnd(host);
}
