// Draws a scene with WebGL2, in the passes quorvel_view makes on the CPU:
//  1. opaque footprints with a depth test (nearest 1/z wins, first on ties);
//  2. each opaque plaque spread as a tent over its footprint enlarged by
//     `blend`, added up where it lies on the front surface (within 3 %);
//  3. the tents' mean colour replaces the flat one where any tent reached;
//  4. transparent plaques over that, farthest first, premultiplied "over";
//  5. the background picture where nothing was drawn, and the sRGB encoding.

import { FLOATS_PER_PLAQUE } from './scene.js';

const NEAR = 1e-3;

const PLAQUE_VS = `#version 300 es
precision highp float;
layout(location = 0) in vec3 corner;
layout(location = 1) in vec3 centre;
layout(location = 2) in vec3 leftColour;
layout(location = 3) in vec3 rightColour;
layout(location = 4) in float alpha;
layout(location = 5) in vec3 motion;
layout(location = 6) in vec2 st;
uniform mat4 viewProjection;
uniform float scale;
uniform float motionTime;
uniform bool rightEye;
out vec3 vColour;
out float vAlpha;
out vec2 vSt;
void main() {
  vec3 p = centre + (corner - centre) * scale + motion * motionTime;
  gl_Position = viewProjection * vec4(p, 1.0);
  vColour = rightEye ? rightColour : leftColour;
  vAlpha = alpha;
  vSt = st;
}`;

// Every plaque as four vertices of its own and two triangles: drawing
// instances of a 4-vertex strip costs far more per plaque in software GL.
const VERTEX_FLOATS = 18;
const CORNER_ST = [[0, 0], [1, 0], [1, 1], [0, 1]]; // s along corner 0 to 1, t along 0 to 3

// Colour and 1/z of the nearest opaque plaque.
const OPAQUE_FS = `#version 300 es
precision highp float;
in vec3 vColour;
in float vAlpha;
in vec2 vSt;
out vec4 outColour;
void main() {
  float iz = gl_FragCoord.w;
  gl_FragDepth = clamp(iz * ${NEAR.toExponential()}, 0.0, 1.0);
  outColour = vec4(vColour, iz);
}`;

const TENT_FS = `#version 300 es
precision highp float;
uniform highp sampler2D front;
in vec3 vColour;
in float vAlpha;
in vec2 vSt;
out vec4 outColour;
void main() {
  float iz = gl_FragCoord.w;
  float frontIz = texelFetch(front, ivec2(gl_FragCoord.xy), 0).a;
  if (!(abs(iz - frontIz) <= 0.03 * frontIz)) discard;
  float w = max(0.0, 1.0 - abs(2.0 * vSt.x - 1.0)) * max(0.0, 1.0 - abs(2.0 * vSt.y - 1.0));
  outColour = vec4(vColour * w, w);
}`;

const TRANSPARENT_FS = `#version 300 es
precision highp float;
uniform highp sampler2D front;
in vec3 vColour;
in float vAlpha;
in vec2 vSt;
out vec4 outColour;
void main() {
  float iz = gl_FragCoord.w;
  float frontIz = texelFetch(front, ivec2(gl_FragCoord.xy), 0).a;
  if (!(iz > frontIz * 0.99)) discard;
  // Alpha adds up in the target: non-zero marks a covered pixel.
  outColour = vec4(vColour, max(vAlpha, 1.0 / 1024.0));
}`;

const FULLSCREEN_VS = `#version 300 es
out vec2 vNdc;
void main() {
  vec2 p = vec2(gl_VertexID == 1 ? 3.0 : -1.0, gl_VertexID == 2 ? 3.0 : -1.0);
  vNdc = p;
  gl_Position = vec4(p, 0.0, 1.0);
}`;

const RESOLVE_FS = `#version 300 es
precision highp float;
uniform highp sampler2D front;
uniform highp sampler2D tents;
uniform bool useTents;
out vec4 outColour;
void main() {
  ivec2 p = ivec2(gl_FragCoord.xy);
  vec4 f = texelFetch(front, p, 0);
  vec3 c = f.rgb;
  if (useTents) {
    vec4 t = texelFetch(tents, p, 0);
    if (t.a > 1e-6) c = t.rgb / t.a;
  }
  outColour = vec4(c, f.a > 0.0 ? 1.0 : 0.0);
}`;

const PRESENT_FS = `#version 300 es
precision highp float;
uniform highp sampler2D picture;
uniform highp sampler2D background;
uniform bool hasBackground;
uniform mat4 inverseViewProjection;
uniform ivec2 origin;
in vec2 vNdc;
out vec4 outColour;
const float PI = 3.14159265358979;
float toLinear(float c) { return c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4); }
float toSrgb(float v) { v = clamp(v, 0.0, 1.0); return v <= 0.0031308 ? v * 12.92 : 1.055 * pow(v, 1.0 / 2.4) - 0.055; }
void main() {
  vec4 c = texelFetch(picture, ivec2(gl_FragCoord.xy) - origin, 0);
  vec3 rgb = c.rgb;
  if (c.a == 0.0) {
    rgb = vec3(0.0);
    if (hasBackground) {
      vec4 far = inverseViewProjection * vec4(vNdc, 1.0, 1.0);
      vec4 near = inverseViewProjection * vec4(vNdc, -1.0, 1.0);
      vec3 d = normalize(far.xyz / far.w - near.xyz / near.w);
      float theta = acos(clamp(d.y, -1.0, 1.0));
      float phi = atan(d.z, d.x) / PI * 0.5 - 0.25;
      phi -= floor(phi);
      ivec2 size = textureSize(background, 0);
      ivec2 at = ivec2(min(size.x - 1, int(phi * float(size.x))), min(size.y - 1, int(theta / PI * float(size.y))));
      vec3 b = texelFetch(background, at, 0).rgb;
      rgb = vec3(toLinear(b.r), toLinear(b.g), toLinear(b.b));
    }
  }
  outColour = vec4(toSrgb(rgb.r), toSrgb(rgb.g), toSrgb(rgb.b), 1.0);
}`;

function compile(gl, vs, fs) {
  const program = gl.createProgram();
  for (const [type, source] of [[gl.VERTEX_SHADER, vs], [gl.FRAGMENT_SHADER, fs]]) {
    const s = gl.createShader(type);
    gl.shaderSource(s, source);
    gl.compileShader(s);
    if (!gl.getShaderParameter(s, gl.COMPILE_STATUS)) throw new Error(`shader: ${gl.getShaderInfoLog(s)}`);
    gl.attachShader(program, s);
  }
  gl.linkProgram(program);
  if (!gl.getProgramParameter(program, gl.LINK_STATUS)) throw new Error(`program: ${gl.getProgramInfoLog(program)}`);
  const uniforms = {};
  const n = gl.getProgramParameter(program, gl.ACTIVE_UNIFORMS);
  for (let i = 0; i < n; ++i) {
    const name = gl.getActiveUniform(program, i).name;
    uniforms[name] = gl.getUniformLocation(program, name);
  }
  return { program, uniforms };
}

function multiply(a, b) {
  const out = new Float32Array(16);
  for (let c = 0; c < 4; ++c)
    for (let r = 0; r < 4; ++r) {
      let s = 0;
      for (let k = 0; k < 4; ++k) s += a[k * 4 + r] * b[c * 4 + k];
      out[c * 4 + r] = s;
    }
  return out;
}

function invert(m) {
  const inv = new Float32Array(16);
  const a = Array.from(m);
  const [a00, a01, a02, a03, a10, a11, a12, a13, a20, a21, a22, a23, a30, a31, a32, a33] = a;
  const b00 = a00 * a11 - a01 * a10, b01 = a00 * a12 - a02 * a10, b02 = a00 * a13 - a03 * a10;
  const b03 = a01 * a12 - a02 * a11, b04 = a01 * a13 - a03 * a11, b05 = a02 * a13 - a03 * a12;
  const b06 = a20 * a31 - a21 * a30, b07 = a20 * a32 - a22 * a30, b08 = a20 * a33 - a23 * a30;
  const b09 = a21 * a32 - a22 * a31, b10 = a21 * a33 - a23 * a31, b11 = a22 * a33 - a23 * a32;
  const det = b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
  const d = det ? 1 / det : 0;
  inv[0] = (a11 * b11 - a12 * b10 + a13 * b09) * d; inv[1] = (a02 * b10 - a01 * b11 - a03 * b09) * d;
  inv[2] = (a31 * b05 - a32 * b04 + a33 * b03) * d; inv[3] = (a22 * b04 - a21 * b05 - a23 * b03) * d;
  inv[4] = (a12 * b08 - a10 * b11 - a13 * b07) * d; inv[5] = (a00 * b11 - a02 * b08 + a03 * b07) * d;
  inv[6] = (a32 * b02 - a30 * b05 - a33 * b01) * d; inv[7] = (a20 * b05 - a22 * b02 + a23 * b01) * d;
  inv[8] = (a10 * b10 - a11 * b08 + a13 * b06) * d; inv[9] = (a01 * b08 - a00 * b10 - a03 * b06) * d;
  inv[10] = (a30 * b04 - a31 * b02 + a33 * b00) * d; inv[11] = (a21 * b02 - a20 * b04 - a23 * b00) * d;
  inv[12] = (a11 * b07 - a10 * b09 - a12 * b06) * d; inv[13] = (a00 * b09 - a01 * b07 + a02 * b06) * d;
  inv[14] = (a31 * b01 - a30 * b03 - a32 * b00) * d; inv[15] = (a20 * b03 - a21 * b01 + a22 * b00) * d;
  return inv;
}

export class Renderer {
  constructor(gl) {
    this.gl = gl;
    if (!gl.getExtension('EXT_color_buffer_float')) throw new Error('this browser cannot render to float textures (EXT_color_buffer_float)');
    this.opaque = compile(gl, PLAQUE_VS, OPAQUE_FS);
    this.tent = compile(gl, PLAQUE_VS, TENT_FS);
    this.transparent = compile(gl, PLAQUE_VS, TRANSPARENT_FS);
    this.resolve = compile(gl, FULLSCREEN_VS, RESOLVE_FS);
    this.present = compile(gl, FULLSCREEN_VS, PRESENT_FS);
    this.targets = null;
    this.scenes = new Map();
    this.emptyVao = gl.createVertexArray();
    this.backgroundTexture = null;
  }

  // Uploads a scene once; later draws of it reuse the buffers.
  upload(scene) {
    if (this.scenes.has(scene)) return this.scenes.get(scene);
    const gl = this.gl;
    const n = scene.count, src = scene.data;
    const vertices = new Float32Array(n * 4 * VERTEX_FLOATS);
    const indices = new Uint32Array(n * 6);
    for (let i = 0; i < n; ++i) {
      const o = i * FLOATS_PER_PLAQUE;
      for (let k = 0; k < 4; ++k) {
        const v = (i * 4 + k) * VERTEX_FLOATS;
        vertices.set(src.subarray(o + 3 * k, o + 3 * k + 3), v);
        vertices.set(src.subarray(o + 12, o + 25), v + 3); // centre, colours, alpha, motion
        vertices[v + 16] = CORNER_ST[k][0];
        vertices[v + 17] = CORNER_ST[k][1];
      }
      const b = i * 4;
      indices.set([b, b + 1, b + 2, b, b + 2, b + 3], i * 6);
    }
    const vao = gl.createVertexArray();
    gl.bindVertexArray(vao);
    const buffer = gl.createBuffer();
    gl.bindBuffer(gl.ARRAY_BUFFER, buffer);
    gl.bufferData(gl.ARRAY_BUFFER, vertices, gl.STATIC_DRAW);
    const indexBuffer = gl.createBuffer();
    gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, indexBuffer);
    gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, indices, gl.STATIC_DRAW);
    const stride = VERTEX_FLOATS * 4;
    const layout = [[0, 3, 0], [1, 3, 3], [2, 3, 6], [3, 3, 9], [4, 1, 12], [5, 3, 13], [6, 2, 16]];
    for (const [loc, size, offset] of layout) {
      gl.enableVertexAttribArray(loc);
      gl.vertexAttribPointer(loc, size, gl.FLOAT, false, stride, offset * 4);
    }
    gl.bindVertexArray(null);
    const entry = { vao, buffer, indexBuffer };
    this.scenes.set(scene, entry);
    return entry;
  }

  release(scene) {
    const e = this.scenes.get(scene);
    if (!e) return;
    this.gl.deleteBuffer(e.buffer);
    this.gl.deleteBuffer(e.indexBuffer);
    this.gl.deleteVertexArray(e.vao);
    this.scenes.delete(scene);
  }

  setBackground(image) {
    const gl = this.gl;
    if (this.backgroundTexture) gl.deleteTexture(this.backgroundTexture);
    this.backgroundTexture = null;
    if (!image) return;
    const t = gl.createTexture();
    gl.bindTexture(gl.TEXTURE_2D, t);
    gl.pixelStorei(gl.UNPACK_COLORSPACE_CONVERSION_WEBGL, gl.NONE);
    gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA8, gl.RGBA, gl.UNSIGNED_BYTE, image);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
    this.backgroundTexture = t;
  }

  ensureTargets(width, height) {
    const gl = this.gl;
    if (this.targets && this.targets.width >= width && this.targets.height >= height) return this.targets;
    if (this.targets) {
      for (const t of this.targets.textures) gl.deleteTexture(t);
      for (const f of this.targets.framebuffers) gl.deleteFramebuffer(f);
      gl.deleteRenderbuffer(this.targets.depth);
    }
    const w = Math.max(width, this.targets?.width ?? 0), h = Math.max(height, this.targets?.height ?? 0);
    const texture = (format) => {
      const t = gl.createTexture();
      gl.bindTexture(gl.TEXTURE_2D, t);
      gl.texStorage2D(gl.TEXTURE_2D, 1, format, w, h);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
      gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
      return t;
    };
    const front = texture(gl.RGBA32F), tents = texture(gl.RGBA16F), picture = texture(gl.RGBA16F);
    const depth = gl.createRenderbuffer();
    gl.bindRenderbuffer(gl.RENDERBUFFER, depth);
    gl.renderbufferStorage(gl.RENDERBUFFER, gl.DEPTH_COMPONENT32F, w, h);
    const fb = (t, withDepth) => {
      const f = gl.createFramebuffer();
      gl.bindFramebuffer(gl.FRAMEBUFFER, f);
      gl.framebufferTexture2D(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.TEXTURE_2D, t, 0);
      if (withDepth) gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.DEPTH_ATTACHMENT, gl.RENDERBUFFER, depth);
      const status = gl.checkFramebufferStatus(gl.FRAMEBUFFER);
      if (status !== gl.FRAMEBUFFER_COMPLETE) throw new Error(`framebuffer incomplete (0x${status.toString(16)})`);
      return f;
    };
    this.targets = {
      width: w, height: h, depth,
      textures: [front, tents, picture],
      front, tents, picture,
      frontFb: fb(front, true), tentsFb: fb(tents, false), pictureFb: fb(picture, false),
    };
    this.targets.framebuffers = [this.targets.frontFb, this.targets.tentsFb, this.targets.pictureFb];
    return this.targets;
  }

  // Draws one eye's view of `scene` into `viewport` [x, y, w, h] of
  // `output` (null: the canvas). view and projection are column-major
  // 4x4 matrices from zone coordinates (file units) to clip space.
  drawView(scene, { view, projection, rightEye = false, viewport, output = null, motionTime = 0, blend = 2 }) {
    const gl = this.gl;
    const [vx, vy, vw, vh] = viewport;
    const t = this.ensureTargets(vw, vh);
    const { vao } = this.upload(scene);
    const viewProjection = multiply(projection, view);
    const setPlaqueUniforms = (p, scale) => {
      gl.useProgram(p.program);
      gl.uniformMatrix4fv(p.uniforms.viewProjection, false, viewProjection);
      gl.uniform1f(p.uniforms.scale, scale);
      gl.uniform1f(p.uniforms.motionTime, motionTime);
      gl.uniform1i(p.uniforms.rightEye, rightEye ? 1 : 0);
      if (p.uniforms.front) {
        gl.activeTexture(gl.TEXTURE0);
        gl.bindTexture(gl.TEXTURE_2D, t.front);
        gl.uniform1i(p.uniforms.front, 0);
      }
    };
    gl.viewport(0, 0, vw, vh);
    gl.disable(gl.SCISSOR_TEST);
    gl.disable(gl.CULL_FACE);

    // 1. Opaque plaques.
    gl.bindFramebuffer(gl.FRAMEBUFFER, t.frontFb);
    gl.clearColor(0, 0, 0, 0);
    gl.clearDepth(0);
    gl.depthMask(true);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    gl.enable(gl.DEPTH_TEST);
    gl.depthFunc(gl.GREATER);
    gl.disable(gl.BLEND);
    gl.bindVertexArray(vao);
    setPlaqueUniforms(this.opaque, 1);
    gl.drawElements(gl.TRIANGLES, scene.opaqueCount * 6, gl.UNSIGNED_INT, 0);
    gl.disable(gl.DEPTH_TEST);

    // 2. Tents of the opaque plaques.
    const useTents = blend > 0;
    if (useTents) {
      gl.bindFramebuffer(gl.FRAMEBUFFER, t.tentsFb);
      gl.clear(gl.COLOR_BUFFER_BIT);
      gl.enable(gl.BLEND);
      gl.blendFunc(gl.ONE, gl.ONE);
      setPlaqueUniforms(this.tent, blend);
      gl.drawElements(gl.TRIANGLES, scene.opaqueCount * 6, gl.UNSIGNED_INT, 0);
      gl.disable(gl.BLEND);
    }

    // 3. Resolve into the picture.
    gl.bindFramebuffer(gl.FRAMEBUFFER, t.pictureFb);
    gl.bindVertexArray(this.emptyVao);
    gl.useProgram(this.resolve.program);
    gl.activeTexture(gl.TEXTURE0);
    gl.bindTexture(gl.TEXTURE_2D, t.front);
    gl.uniform1i(this.resolve.uniforms.front, 0);
    gl.activeTexture(gl.TEXTURE1);
    gl.bindTexture(gl.TEXTURE_2D, t.tents);
    gl.uniform1i(this.resolve.uniforms.tents, 1);
    gl.uniform1i(this.resolve.uniforms.useTents, useTents ? 1 : 0);
    gl.drawArrays(gl.TRIANGLES, 0, 3);

    // 4. Transparent plaques, farthest first as the file orders them.
    const transparent = scene.count - scene.opaqueCount;
    if (transparent > 0) {
      gl.bindVertexArray(vao);
      gl.enable(gl.BLEND);
      gl.blendFuncSeparate(gl.ONE, gl.ONE_MINUS_SRC_ALPHA, gl.ONE, gl.ONE);
      setPlaqueUniforms(this.transparent, 1);
      // The transparent plaques follow the opaque ones, in the file's order.
      gl.drawElements(gl.TRIANGLES, transparent * 6, gl.UNSIGNED_INT, scene.opaqueCount * 6 * 4);
      gl.disable(gl.BLEND);
    }

    // 5. Background and sRGB into the output.
    gl.bindFramebuffer(gl.FRAMEBUFFER, output);
    gl.viewport(vx, vy, vw, vh);
    gl.bindVertexArray(this.emptyVao);
    const p = this.present;
    gl.useProgram(p.program);
    gl.activeTexture(gl.TEXTURE0);
    gl.bindTexture(gl.TEXTURE_2D, t.picture);
    gl.uniform1i(p.uniforms.picture, 0);
    gl.activeTexture(gl.TEXTURE1);
    gl.bindTexture(gl.TEXTURE_2D, this.backgroundTexture);
    gl.uniform1i(p.uniforms.background, 1);
    gl.uniform1i(p.uniforms.hasBackground, this.backgroundTexture ? 1 : 0);
    gl.uniformMatrix4fv(p.uniforms.inverseViewProjection, false, invert(viewProjection));
    gl.uniform2i(p.uniforms.origin, vx, vy);
    gl.drawArrays(gl.TRIANGLES, 0, 3);
    gl.bindVertexArray(null);
  }
}
