# A deliberate mistake that the stubs must let a type checker catch: a level name where a
# Permission is expected, and a context where a chain is expected.
import ostrel_quorvane as oq

chain = oq.PermissionChain.default_chain()
chain.rank("ALR")
oq.compile_static(oq.PermissionChain.default_chain(), chain)
