#include <memory>

#include "components/filedialog/commondialog.h"
#include "components/filedialog/common_dialog.h"
#include "components/filedialog/qt_dialog_backend.h"

namespace filedialog {

void registerCommonDialog() {
  // Kept for the life of the program; registering again changes nothing.
  static automation::Registration registration =
      automation::registerClass(kProgId, [](rt::ObjectRef& created) {
        created = std::make_shared<CommonDialog>(std::make_shared<QtDialogBackend>());
        return rt::status::Ok;
      });
}

}  // namespace filedialog
