#include "Plugins/PluginNode.h"

namespace TarnEngine {

void PluginNode::CollectValue(void* _pValue, TarnRenderer::TArray<void*>* _pList)
{
    if (_pList)
        _pList->Add(_pValue);
}

}  // namespace TarnEngine
