// TMainForm on GTK 3: a fixed-size utility window with a wrapped, editable
// text view and a clickable label, laid out in pixels from the layout.
// Built as a shared module that the launcher loads on demand.
#include <fontconfig/fontconfig.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <strings.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/PromptWindow.h"

namespace green {

namespace {

std::string CssColor(const TColor& Color) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "#%06X", Color.DefaultRgb() & 0xFFFFFFu);
  return Text;
}

// A negative height is the character height in pixels, which CSS calls the
// font size; a positive one is the cell height, about a fifth taller.
std::string CssFont(const TFontDesc& Font) {
  const int Pixels = Font.Height < 0 ? -Font.Height : Font.Height * 4 / 5;
  std::string Css = "font-family: \"" + Font.Name + "\"; font-size: " + std::to_string(Pixels) + "px;";
  Css += Font.Bold ? " font-weight: bold;" : " font-weight: normal;";
  Css += Font.Italic ? " font-style: italic;" : " font-style: normal;";
  return Css + " color: " + CssColor(Font.Color) + ";";
}

// Where Debian's fonts-wine keeps Wine's Tahoma, which has Tahoma's metrics.
constexpr const char* kWineFonts = "/usr/share/wine/fonts";

// The layout's sizes were made for its font. Where the system lacks that
// family, a metric-compatible one from Wine's fonts keeps each text within
// its bounds; otherwise fontconfig's substitute (usually wider) is used.
void ProvideFont(const std::string& Family) {
  FcPattern* Pattern = FcNameParse(reinterpret_cast<const FcChar8*>(Family.c_str()));
  FcConfigSubstitute(nullptr, Pattern, FcMatchPattern);
  FcDefaultSubstitute(Pattern);
  FcResult Result;
  FcPattern* Match = FcFontMatch(nullptr, Pattern, &Result);
  FcChar8* Found = nullptr;
  const bool Present = Match && FcPatternGetString(Match, FC_FAMILY, 0, &Found) == FcResultMatch &&
                       strcasecmp(reinterpret_cast<const char*>(Found), Family.c_str()) == 0;
  if (Match) FcPatternDestroy(Match);
  FcPatternDestroy(Pattern);
  if (!Present) FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8*>(kWineFonts));
}

// Input that GDK has read from the display, or any other source of the
// default context that is ready.
bool Pending(void*) { return g_main_context_pending(nullptr); }

// Handles what is ready without waiting; bounded, so that a source that is
// always ready (an idle) cannot keep the caller's wait from returning.
void Dispatch(void*) {
  for (int I = 0; I < 64 && g_main_context_pending(nullptr); ++I) g_main_context_iteration(nullptr, FALSE);
}

// The display connection as the platform's wait watches it; empty where
// the display is not an X server.
os::WindowInputSource DisplaySource() {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* Display = gdk_display_get_default();
  if (Display && GDK_IS_X11_DISPLAY(Display))
    return {XConnectionNumber(gdk_x11_display_get_xdisplay(Display)), &Pending, &Dispatch, nullptr};
#endif
  return {};
}

class TGtkMainForm final : public TPromptWindow {
 public:
  TGtkMainForm(const TMainFormLayout& Layout, const std::string& Url, const TPromptHooks& Hooks)
      : FLayout(Layout), FUrl(Url), FHooks(Hooks) {}
  ~TGtkMainForm() {
    if (FShownSource) g_source_remove(FShownSource);
    if (FWindow) {
      g_signal_handlers_disconnect_by_data(FWindow, this);
      gtk_widget_destroy(FWindow);
    }
    if (FCloseTarget) g_object_unref(FCloseTarget);
    if (FHand) g_object_unref(FHand);
  }

  void Run() {
    ProvideFont(FLayout.Font.Name);
    if (FLayout.Memo.Font.Name != FLayout.Font.Name) ProvideFont(FLayout.Memo.Font.Name);
    if (FLayout.Label.Font.Name != FLayout.Font.Name) ProvideFont(FLayout.Label.Font.Name);
    Build();
    gtk_widget_show_all(FWindow);
    gtk_widget_grab_focus(FTextView);  // tab order 0
    if (FHooks.WindowInput) FHooks.WindowInput(DisplaySource());
    gtk_main();
    if (FHooks.WindowInput) FHooks.WindowInput({});
    if (FError) std::rethrow_exception(FError);
  }

  TPromptSnapshot Snapshot() override;

  // The request holds its own reference: the window may be gone by the
  // time the loop runs it, and then nothing happens.
  void RequestClose() override {
    g_idle_add(
        [](gpointer Window) -> gboolean {
          // delete-event, as the window manager's close button sends it.
          if (gtk_widget_get_realized(GTK_WIDGET(Window))) gtk_window_close(GTK_WINDOW(Window));
          g_object_unref(Window);
          return G_SOURCE_REMOVE;
        },
        g_object_ref(FCloseTarget));
  }

 private:
  // GTK calls back through C frames: nothing may unwind through them. The
  // first exception ends the loop and is raised again when gtk_main returns.
  template <typename Fn>
  void Guarded(Fn&& Body) noexcept {
    try {
      Body();
    } catch (...) {
      if (!FError) FError = std::current_exception();
      gtk_main_quit();
    }
  }

  void Build();
  GtkWidget* BuildMemo();
  GtkWidget* BuildLabel();
  void Style(GtkWidget* Widget, const std::string& Css);

  static gboolean OnDraw(GtkWidget*, cairo_t*, gpointer Self);
  static gboolean OnPress(GtkWidget*, GdkEventButton* Event, gpointer Self);
  static gboolean OnRelease(GtkWidget*, GdkEventButton* Event, gpointer Self);
  void Label1Click() { FHooks.OpenUrl(FUrl); }

  const TMainFormLayout& FLayout;
  const std::string FUrl;
  const TPromptHooks& FHooks;
  GtkWidget* FWindow = nullptr;  // nullptr once destroyed
  GtkWidget* FCloseTarget = nullptr;  // the same window, referenced, for other threads
  GtkWidget* FMemo = nullptr;  // the scrolled frame that holds the text view
  GtkWidget* FTextView = nullptr;
  GtkWidget* FLabelBox = nullptr;
  GdkCursor* FHand = nullptr;
  bool FPressed = false;
  bool FShown = false;
  guint FShownSource = 0;
  std::exception_ptr FError;
};

void TGtkMainForm::Style(GtkWidget* Widget, const std::string& Css) {
  GtkCssProvider* Provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(Provider, Css.c_str(), -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(Widget), GTK_STYLE_PROVIDER(Provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(Provider);
}

void TGtkMainForm::Build() {
  FWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* Window = GTK_WINDOW(FWindow);
  gtk_window_set_title(Window, FLayout.Caption.c_str());
  gtk_window_set_resizable(Window, FALSE);
  if (FLayout.BorderStyle == bsToolWindow) gtk_window_set_type_hint(Window, GDK_WINDOW_TYPE_HINT_UTILITY);
  if (FLayout.Position == poDesktopCenter) gtk_window_set_position(Window, GTK_WIN_POS_CENTER);
  else gtk_window_move(Window, FLayout.Bounds.Left, FLayout.Bounds.Top);
  Style(FWindow, "window { background-color: " + CssColor(FLayout.Color) + "; }");
  GtkWidget* Client = gtk_fixed_new();
  gtk_widget_set_size_request(Client, FLayout.Bounds.Width, FLayout.Bounds.Height);
  gtk_container_add(GTK_CONTAINER(FWindow), Client);
  const TBounds Memo = FLayout.MemoBounds();
  gtk_fixed_put(GTK_FIXED(Client), BuildMemo(), Memo.Left, Memo.Top);
  const TBounds& Label = FLayout.Label.Bounds;
  gtk_fixed_put(GTK_FIXED(Client), BuildLabel(), Label.Left, Label.Top);
  FCloseTarget = GTK_WIDGET(g_object_ref(FWindow));
  g_signal_connect(FWindow, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer Self) {
                     static_cast<TGtkMainForm*>(Self)->FWindow = nullptr;
                     gtk_main_quit();
                   }),
                   this);
  g_signal_connect_after(FWindow, "draw", G_CALLBACK(OnDraw), this);
}

// Editable and word-wrapped; the frame never shows scroll bars but lets
// the text scroll with the caret, like a memo without them.
GtkWidget* TGtkMainForm::BuildMemo() {
  const TMemoDesc& Desc = FLayout.Memo;
  FTextView = gtk_text_view_new();
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(FTextView), GTK_WRAP_WORD_CHAR);
  std::string Text;
  for (size_t I = 0; I < Desc.Lines.size(); ++I) Text += (I ? "\n" : "") + Desc.Lines[I];
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(FTextView)), Text.c_str(), -1);
  Style(FTextView, "textview, textview text { " + CssFont(Desc.Font) +
                       " background-color: " + CssColor(Desc.Color) + "; }");
  FMemo = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(FMemo), GTK_POLICY_NEVER, GTK_POLICY_EXTERNAL);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(FMemo), GTK_SHADOW_IN);
  const TBounds Bounds = FLayout.MemoBounds();
  gtk_widget_set_size_request(FMemo, Bounds.Width, Bounds.Height);
  gtk_container_add(GTK_CONTAINER(FMemo), FTextView);
  return FMemo;
}

GtkWidget* TGtkMainForm::BuildLabel() {
  const TLabelDesc& Desc = FLayout.Label;
  GtkWidget* Label = gtk_label_new(Desc.Caption.c_str());
  gtk_label_set_xalign(GTK_LABEL(Label), 0);
  gtk_label_set_yalign(GTK_LABEL(Label), 0);
  if (Desc.Font.Underline) {
    PangoAttrList* Attrs = pango_attr_list_new();
    pango_attr_list_insert(Attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    gtk_label_set_attributes(GTK_LABEL(Label), Attrs);
    pango_attr_list_unref(Attrs);
  }
  Style(Label, "label { " + CssFont(Desc.Font) + " }");
  FLabelBox = gtk_event_box_new();
  // Sized by its caption unless the layout fixes its size.
  if (!Desc.AutoSize) gtk_widget_set_size_request(FLabelBox, Desc.Bounds.Width, Desc.Bounds.Height);
  gtk_container_add(GTK_CONTAINER(FLabelBox), Label);
  gtk_widget_add_events(FLabelBox, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
  g_signal_connect(FLabelBox, "button-press-event", G_CALLBACK(OnPress), this);
  g_signal_connect(FLabelBox, "button-release-event", G_CALLBACK(OnRelease), this);
  if (Desc.Cursor == crHandPoint) {
    g_signal_connect(FLabelBox, "realize", G_CALLBACK(+[](GtkWidget* Box, gpointer Self) {
                       auto* Form = static_cast<TGtkMainForm*>(Self);
                       Form->FHand = gdk_cursor_new_for_display(gtk_widget_get_display(Box), GDK_HAND2);
                       gdk_window_set_cursor(gtk_widget_get_window(Box), Form->FHand);
                     }),
                     this);
  }
  return FLabelBox;
}

// The observers learn of the window once its first frame is complete.
gboolean TGtkMainForm::OnDraw(GtkWidget*, cairo_t*, gpointer Self) {
  auto* Form = static_cast<TGtkMainForm*>(Self);
  if (Form->FShown || !Form->FHooks.Shown) return FALSE;
  Form->FShown = true;
  Form->FShownSource = g_idle_add(
      [](gpointer Self) -> gboolean {
        auto* Form = static_cast<TGtkMainForm*>(Self);
        Form->FShownSource = 0;
        Form->Guarded([&] { Form->FHooks.Shown(*Form); });
        return G_SOURCE_REMOVE;
      },
      Self);
  return FALSE;
}

gboolean TGtkMainForm::OnPress(GtkWidget*, GdkEventButton* Event, gpointer Self) {
  if (Event->button == 1 && Event->type == GDK_BUTTON_PRESS) static_cast<TGtkMainForm*>(Self)->FPressed = true;
  return TRUE;
}

// A click is a press and a release of the first button over the label;
// each one opens the page again.
gboolean TGtkMainForm::OnRelease(GtkWidget* Box, GdkEventButton* Event, gpointer Self) {
  auto* Form = static_cast<TGtkMainForm*>(Self);
  if (Event->button != 1 || !Form->FPressed) return TRUE;
  Form->FPressed = false;
  GtkAllocation Area;
  gtk_widget_get_allocation(Box, &Area);
  if (Event->x >= 0 && Event->y >= 0 && Event->x < Area.width && Event->y < Area.height)
    Form->Guarded([&] { Form->Label1Click(); });
  return TRUE;
}

TBounds Allocation(GtkWidget* Widget) {
  GtkAllocation Area;
  gtk_widget_get_allocation(Widget, &Area);
  return {Area.x, Area.y, Area.width, Area.height};
}

// The family of the font that the first run of Layout's text resolved to.
std::string FaceOf(PangoLayout* Layout) {
  PangoLayoutLine* Line = pango_layout_get_line_readonly(Layout, 0);
  if (!Line || !Line->runs) return {};
  const auto* Run = static_cast<const PangoGlyphItem*>(Line->runs->data);
  PangoFontDescription* Desc = pango_font_describe(Run->item->analysis.font);
  const char* Family = pango_font_description_get_family(Desc);
  std::string Face = Family ? Family : "";
  pango_font_description_free(Desc);
  return Face;
}

// Rows of the view's text once wrapped, and whole rows that its view shows.
void MeasureMemo(GtkTextView* View, TPromptSnapshot& S) {
  GtkTextIter It;
  gtk_text_buffer_get_start_iter(gtk_text_view_get_buffer(View), &It);
  int Y = 0, Height = 0;
  gtk_text_view_get_line_yrange(View, &It, &Y, &Height);
  for (S.MemoRows = 1; gtk_text_view_forward_display_line(View, &It);) ++S.MemoRows;
  GdkRectangle Visible;
  gtk_text_view_get_visible_rect(View, &Visible);
  S.MemoVisibleRows = Height > 0 ? Visible.height / Height : 0;
}

TPromptSnapshot TGtkMainForm::Snapshot() {
  TPromptSnapshot S;
  GdkWindow* Window = gtk_widget_get_window(FWindow);
  S.Caption = gtk_window_get_title(GTK_WINDOW(FWindow));
  S.Resizable = gtk_window_get_resizable(GTK_WINDOW(FWindow));
  S.ToolWindow = gtk_window_get_type_hint(GTK_WINDOW(FWindow)) == GDK_WINDOW_TYPE_HINT_UTILITY;
  S.ClientWidth = gdk_window_get_width(Window);
  S.ClientHeight = gdk_window_get_height(Window);
  gdk_window_get_origin(Window, &S.ScreenLeft, &S.ScreenTop);
  S.Memo = Allocation(FMemo);
  S.Label = Allocation(FLabelBox);
  GdkCursor* Cursor = gdk_window_get_cursor(gtk_widget_get_window(FLabelBox));
  S.LabelHandCursor = Cursor && gdk_cursor_get_cursor_type(Cursor) == GDK_HAND2;
  PangoLayout* Caption = gtk_label_get_layout(GTK_LABEL(gtk_bin_get_child(GTK_BIN(FLabelBox))));
  S.LabelFace = FaceOf(Caption);
  pango_layout_get_pixel_size(Caption, &S.LabelTextWidth, &S.LabelTextHeight);
  MeasureMemo(GTK_TEXT_VIEW(FTextView), S);
  S.FormColor = FLayout.Color.DefaultRgb();
  gdk_display_sync(gdk_window_get_display(Window));
  GdkPixbuf* Image = gdk_pixbuf_get_from_window(Window, 0, 0, S.ClientWidth, S.ClientHeight);
  if (!Image) return S;
  const int Stride = gdk_pixbuf_get_rowstride(Image), Channels = gdk_pixbuf_get_n_channels(Image);
  const guchar* Data = gdk_pixbuf_read_pixels(Image);
  for (int Y = 0; Y < S.ClientHeight; ++Y)
    for (int X = 0; X < S.ClientWidth; ++X) {
      const guchar* P = Data + Y * Stride + X * Channels;
      S.Pixels.push_back(uint32_t(P[0]) << 16 | uint32_t(P[1]) << 8 | P[2]);
    }
  g_object_unref(Image);
  return S;
}

}  // namespace

}  // namespace green

extern "C" __attribute__((visibility("default"))) green::TPromptResult GreenRunPromptWindow(
    const green::TMainFormLayout& Layout, const std::string& Url, const green::TPromptHooks& Hooks) {
  static_assert(std::is_same_v<decltype(&GreenRunPromptWindow), green::TRunPromptWindow>);
  if (!gtk_init_check(nullptr, nullptr)) return green::prNoDisplay;
  green::TGtkMainForm(Layout, Url, Hooks).Run();
  return green::prClosed;
}
