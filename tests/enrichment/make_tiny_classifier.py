"""Writes a two-class picture classifier in ONNX form for the tests: the
average of each colour channel, weighed so that a red picture is class 0
and a blue one class 1. A handful of weights, made here, nothing downloaded."""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

weights = numpy_helper.from_array(
    np.array([[8.0, 0.0, -8.0], [-8.0, 0.0, 8.0]], dtype=np.float32), name="W")
bias = numpy_helper.from_array(np.zeros(2, dtype=np.float32), name="B")
graph = helper.make_graph(
    [
        helper.make_node("GlobalAveragePool", ["picture"], ["pooled"]),
        helper.make_node("Flatten", ["pooled"], ["channels"], axis=1),
        helper.make_node("Gemm", ["channels", "W", "B"], ["scores"], transB=1),
        helper.make_node("Softmax", ["scores"], ["probabilities"], axis=1),
    ],
    "tiny_classifier",
    [helper.make_tensor_value_info("picture", TensorProto.FLOAT, [1, 3, 64, 64])],
    [helper.make_tensor_value_info("probabilities", TensorProto.FLOAT, [1, 2])],
    initializer=[weights, bias],
)
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
model.ir_version = 7
onnx.checker.check_model(model)
onnx.save(model, sys.argv[1])
